#pragma once

namespace kestrune::platform {

// What kind of medium a disk is, as its bus and the device tell.
enum class MediumType {
    UsbFlashDrive,
    MemoryCard, // in a card slot or a USB card reader
    Disk,       // a hard disk or SSD, in a USB enclosure or not
    ImageFile,  // a simulated disk: an image file, on a loop device or not
};

} // namespace kestrune::platform
