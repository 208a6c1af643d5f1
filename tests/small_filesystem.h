#pragma once
// A small tmpfs mounted on an existing folder while the object lives, for tests of a full
// disk. Mounting needs the right to (root); mounted() says whether it worked, and tests skip
// when it did not.
#include <QByteArray>
#include <QFile>
#include <QString>

#include <sys/mount.h>
#include <utility>

class SmallFilesystem {
public:
    SmallFilesystem(QString point, QByteArray const& size) : point_(std::move(point)) {
        QByteArray const options = "size=" + size;
        mounted_ = ::mount("tmpfs", QFile::encodeName(point_).constData(), "tmpfs", 0,
                           options.constData()) == 0;
    }
    ~SmallFilesystem() {
        if (mounted_)
            ::umount(QFile::encodeName(point_).constData());
    }
    SmallFilesystem(SmallFilesystem const&) = delete;
    SmallFilesystem& operator=(SmallFilesystem const&) = delete;

    bool mounted() const { return mounted_; }

    // Writes the file `name` until no byte more fits; true when the file system is full.
    bool fill(QString const& name) const {
        QFile filler(point_ + "/" + name);
        if (!filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
            return false;
        while (filler.write(QByteArray(1024, 'x')) > 0)
            ;
        return filler.write("x", 1) <= 0;
    }

private:
    QString point_;
    bool mounted_ = false;
};
