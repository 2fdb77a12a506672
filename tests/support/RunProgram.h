#pragma once
// Runs a program to its end for a test (bounded), with its exit status and output.

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
                                 int timeoutMs = 60000)
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
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
