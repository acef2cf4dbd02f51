// Whether the shell can recycle an item, decided before it is asked to: the
// shell's delete with undo silently destroys what it cannot recycle (an item
// on a network share, on a drive without a recycle bin, or larger than the
// bin holds), and a call that promises the recycle bin must never do that.
#pragma once

#include <string>

namespace Tarnix::Core::win {

// The recycle bin of one volume as the shell uses it.
struct RecycleBin {
  bool present = false;        // local fixed drives have one; shares, removable and optical drives none
  bool deletesAtOnce = false;  // the user set it to delete without recycling
  unsigned long long capacityBytes = 0;
};

// The recycle bin of the volume `fullPath` (absolute, not in the long form)
// lies on. The capacity is the user's setting for the volume where there is
// one, else 5 % of the volume (at most what the shell gives by default).
RecycleBin RecycleBinFor(const std::wstring& fullPath);

// Why an item of `bytes` cannot go to `bin`; empty when it can.
std::string RecycleRefusal(const RecycleBin& bin, unsigned long long bytes);

}  // namespace Tarnix::Core::win
