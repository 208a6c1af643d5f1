// Adds final lines to the upgrade record at <file> as fast as it can until the file <stop>
// exists; prints how many of them it was told were written.
#include "control/upgrade_record.h"

#include <QFile>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 3)
        return 2;
    QString const file = QFile::decodeName(argv[1]);
    QString const stop = QFile::decodeName(argv[2]);
    UpgradeAttempt attempt;
    attempt.serial = "3276375B3333";
    attempt.outcome = "done";
    long written = 0;
    while (!QFile::exists(stop))
        written += UpgradeRecorder::append(file, attempt) ? 1 : 0;
    std::printf("%ld\n", written);
    return 0;
}
