// What the engine's disk tests share: its statuses as they are reported, images standing in
// for disks, and what a genuine medium reports at the end of a job.
#pragma once

#include "shredengine/DiskAccess.h"

#include <QByteArray>
#include <QFile>
#include <QString>
#include <cstdint>
#include <cstdio>
#include <gtest/gtest.h>
#include <set>
#include <sys/stat.h>
#include <vector>

namespace kestrune::test::engine_disks {

struct Status {
    int32_t number, status;
    int64_t left, done;
};

inline void record(void* context, int32_t number, int32_t status, int64_t left, int64_t done,
                   double) {
    static_cast<std::vector<Status>*>(context)->push_back({number, status, left, done});
}

inline QByteArray readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

inline QString makeImage(const QString& dir, const char* name, qint64 size, char fill = 'K') {
    QString path = dir + "/" + name;
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(QByteArray(size, fill));
    return path;
}

inline KestruneDiskIdentity imageIdentity(const QString& path) {
    KestruneDiskIdentity id{};
    QByteArray bytes = path.toLocal8Bit();
    std::snprintf(id.path, sizeof id.path, "%s", bytes.constData());
    struct stat st {};
    EXPECT_EQ(stat(id.path, &st), 0);
    id.devt = st.st_dev;
    id.diskseq = st.st_ino;
    id.simulated = 1;
    return id;
}

inline bool looksRandom(const QByteArray& data) {
    std::set<char> seen(data.begin(), data.end());
    return seen.size() > 200;
}

// The last progress report, before the findings that close a job.
inline Status lastProgress(const std::vector<Status>& statuses) {
    for (auto it = statuses.rbegin(); it != statuses.rend(); ++it) {
        if (it->status >= 0 && it->status <= 100)
            return *it;
    }
    return Status{-1, -1, 0, 0};
}

// What a job that went well on a genuine medium reports last: its whole size is usable and
// the read-back matched.
inline void expectGenuineFindings(const std::vector<Status>& statuses, int64_t size) {
    ASSERT_GE(statuses.size(), 2u);
    const Status& capacity = statuses[statuses.size() - 2];
    EXPECT_EQ(capacity.status, SHRED_FINDING_CAPACITY);
    EXPECT_EQ(capacity.done, size);
    EXPECT_EQ(statuses.back().status, SHRED_FINDING_VERIFIED);
}

} // namespace kestrune::test::engine_disks
