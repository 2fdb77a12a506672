#pragma once
// Runs a program to its end for a test (bounded), with its exit status and output; its standard
// input holds `input` and ends.

#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

namespace zephra::test {

struct ProgramOutcome {
    int status = -1;  // -1 when it crashed or did not finish
    QString out;
    QString err;
};

inline ProgramOutcome runProgram(const QString& program, const QStringList& arguments,
                                 const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment(),
                                 int timeoutMs = 60000, const QByteArray& input = {})
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
    // Standard input holds input and then ends, so a program that reads it never waits.
    if (process.waitForStarted(timeoutMs) && !input.isEmpty())
        process.write(input);
    process.closeWriteChannel();
    ProgramOutcome outcome;
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished(5000);
        outcome.err = QStringLiteral("did not finish");
        return outcome;
    }
    outcome.status = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    outcome.out = QString::fromUtf8(process.readAllStandardOutput());
    outcome.err = QString::fromUtf8(process.readAllStandardError());
    return outcome;
}

}  // namespace zephra::test
