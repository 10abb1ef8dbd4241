// The main window on a loop device backed by the FUSE test file system, which is mounted as
// the simulated disks' folder: sticks that are slow, stop answering or hold less than they
// claim, on the real block-device path.
#pragma once

#include "RealDiskWindow.h"
#include "TestFileSystem.h"

namespace kestrune::test {

class TestFileSystemWindowTest : public RealDiskWindowTest {
protected:
    void SetUp() override {
        RealDiskWindowTest::SetUp();
        if (IsSkipped())
            return;
        KESTRUNE_SKIP_WITHOUT_TESTFS();
    }
    void TearDown() override {
        if (rig)
            rig->stall(false); // whatever a test left stuck may end now
        window.reset();
        loops.clear();
        rig.reset();
        RealDiskWindowTest::TearDown();
    }

    // The rig's image, full of old data where it really stores, attached to a loop device.
    LoopDisk& attachRig(TestFileSystemOptions options) {
        options.directIo = true;
        rig = std::make_unique<TestFileSystem>(options);
        EXPECT_TRUE(rig->mounted()) << rig->error().toStdString();
        simulated.reset();
        simulated = std::make_unique<ScopedEnvironment>("KESTRUNE_SIMULATED_DISKS",
                                                        QFile::encodeName(rig->mountDir()));
        const qint64 real = static_cast<qint64>(options.usable ? options.usable : options.size);
        QFile image(rig->imagePath());
        EXPECT_TRUE(image.open(QIODevice::ReadWrite));
        for (qint64 at : {qint64(0), real / 3, real - 4096}) {
            image.seek(at);
            image.write(kSecret);
        }
        image.close();
        loops.push_back(std::make_unique<LoopDisk>(rig->imagePath()));
        EXPECT_TRUE(loops.back()->attached());
        return *loops.back();
    }

    std::unique_ptr<TestFileSystem> rig;
};

} // namespace kestrune::test
