#pragma once

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>
#include <optional>
#include <sys/types.h>
#include <vector>

namespace kestrune::test {

// A real user for the tests of a root program started through sudo: created with its own
// home folder, removed again with its group when the object goes. While it lives, the
// environment is what `sudo -E` leaves for that user: SUDO_UID and SUDO_GID set, and HOME
// and the XDG folders still root's.
class SudoingTestUser {
public:
    SudoingTestUser();
    ~SudoingTestUser();
    SudoingTestUser(const SudoingTestUser&) = delete;
    SudoingTestUser& operator=(const SudoingTestUser&) = delete;

    // Empty when the user is there; else why the tests cannot run here.
    QString unavailable() const { return unavailable_; }
    uid_t uid() const { return uid_; }
    gid_t gid() const { return gid_; }
    QString home() const { return home_; }
    QString rootsFolder(const char* name) const { return rootFolder_.filePath(name); }

private:
    struct Saved {
        const char* name;
        bool set;
        QByteArray value;
    };
    std::vector<Saved> saved_;
    QTemporaryDir base_;
    QTemporaryDir rootFolder_;
    QString name_;
    QString home_;
    QString unavailable_;
    uid_t uid_ = 0;
    gid_t gid_ = 0;
    bool created_ = false;
};

struct FileOwner {
    uid_t uid;
    gid_t gid;
};
std::optional<FileOwner> ownerOf(const QString& path);

} // namespace kestrune::test
