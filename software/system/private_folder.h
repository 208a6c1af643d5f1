#pragma once

#include <QString>

// The user's own files outside the working folder (the upgrade record, the instance lock) are
// reached only along folders that nobody else can change, so that a link or folder planted by
// another user never leads a write (of a program run as root, say) somewhere else.
namespace System {

// Opens the folder at the absolute path, making the folders that are missing (0700). Every
// folder from the root down must belong to root or this user and be writable by others only
// with the sticky bit; a symbolic link on the way is followed only when root or this user owns
// it. The folder itself must belong to this user and be writable by nobody else. Returns a
// descriptor (close-on-exec), or -1 with the folder and the reason in *error.
int open_private_folder(QString const& path, QString* error);

// Opens name in the open folder with flags (O_NOFOLLOW and O_CLOEXEC are added; with O_CREAT
// the file is made 0600). Only a regular file of this user is kept; -1 and the reason in
// *error otherwise.
int open_private_file(int folder_fd, QString const& name, int flags, QString* error);

} // namespace System
