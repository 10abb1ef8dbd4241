#pragma once

#include "platform/DiskEnumerator.h"
#include "platform/windows/DiskCalls.h"

namespace kestrune::platform::windows_impl {

// The volumes inside an image file, as the list shows a simulated disk's names: the
// partitions of its MBR ("stickp1"), or the whole image ("stick") when it carries a file
// system directly. FAT file systems give their label; exFAT and NTFS are named only.
std::vector<VolumeInfo> imageVolumes(const DiskCalls& calls, const QString& path,
                                     const QString& name);

} // namespace kestrune::platform::windows_impl
