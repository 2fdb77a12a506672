#include "dialogs/Viewer.h"

#include <QCoreApplication>
#include <QDir>
#include <QProcess>

#include <utility>

namespace zephra::dialogs {

namespace {
bool isBlank(QChar c) { return c == u' ' || c == u'\t' || c == u'\n'; }
QString tr(const char* text) { return QCoreApplication::translate("Viewer", text); }
}  // namespace

QStringList splitCommandLine(const QString& command, QString* error)
{
    QStringList words;
    QString word;
    bool inWord = false;  // also true for a word that is only quotes: "" is an empty argument
    const qsizetype n = command.size();
    for (qsizetype i = 0; i < n; ++i) {
        const QChar c = command[i];
        if (isBlank(c)) {
            if (inWord)
                words.append(std::exchange(word, QString()));
            inWord = false;
            continue;
        }
        inWord = true;
        if (c == u'\\') {
            if (i + 1 == n) {
                word.append(c);  // a backslash at the very end stands for itself
            } else if (command[++i] != u'\n') {
                word.append(command[i]);
            } else if (word.isEmpty()) {
                inWord = false;  // a line continuation between words
            }
        } else if (c == u'\'') {
            const qsizetype close = command.indexOf(u'\'', i + 1);
            if (close < 0) {
                if (error)
                    *error = tr("a single quote (') is not closed");
                return {};
            }
            word.append(QStringView(command).sliced(i + 1, close - i - 1));
            i = close;
        } else if (c == u'"') {
            bool closed = false;
            for (++i; i < n; ++i) {
                const QChar d = command[i];
                if (d == u'"') {
                    closed = true;
                    break;
                }
                if (d == u'\\' && i + 1 < n) {
                    const QChar next = command[i + 1];
                    if (next == u'\n') {
                        ++i;
                        continue;
                    }
                    if (next == u'"' || next == u'\\' || next == u'$' || next == u'`') {
                        word.append(next);
                        ++i;
                        continue;
                    }
                }
                word.append(d);
            }
            if (!closed) {
                if (error)
                    *error = tr("a double quote (\") is not closed");
                return {};
            }
        } else {
            word.append(c);
        }
    }
    if (inWord)
        words.append(word);
    if (error)
        error->clear();
    return words;
}

ViewerLaunch launchViewer(const QString& command, const QString& filePath)
{
    QString error;
    QStringList words = splitCommandLine(command, &error);
    if (!error.isEmpty())
        return {false, tr("The viewer command \"%1\" cannot be used: %2.").arg(command, error)};
    if (words.isEmpty())
        return {false, tr("No viewer command is set: the first line of editor.xex is empty.")};

    QProcess process;
    process.setProgram(words.takeFirst());
    process.setArguments(words << filePath);
    qint64 pid = 0;
    if (!process.startDetached(&pid))
        return {false, tr("The viewer \"%1\" could not be started: %2")
                           .arg(QDir::toNativeSeparators(process.program()), process.errorString())};
    return {true, QString(), pid};
}

}  // namespace zephra::dialogs
