#pragma once
// Test helper: standard error into a temporary file.
#include <QByteArray>
#include <QFile>
#include <QString>
#include <QTemporaryDir>

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

// Sends file descriptor 2 into a temporary file while it lives.
class StderrCapture {
public:
    StderrCapture() {
        std::fflush(stderr);
        saved = dup(2);
        path = dir.filePath("stderr.txt");
        int const fd = open(path.toLocal8Bit().constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, 2);
        close(fd);
    }
    ~StderrCapture() { restore(); }
    QByteArray text() {
        restore();
        QFile file(path);
        file.open(QIODevice::ReadOnly);
        return file.readAll();
    }

private:
    void restore() {
        if (saved < 0)
            return;
        std::fflush(stderr);
        dup2(saved, 2);
        close(saved);
        saved = -1;
    }
    QTemporaryDir dir;
    QString path;
    int saved = -1;
};
