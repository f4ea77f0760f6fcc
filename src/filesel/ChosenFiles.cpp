// The batch of files a walk has chosen and not yet passed on.
#include "filesel/FileSelInternal.h"
#include <cstring>
#include <cwchar>

bool ChosenFiles::Add(const wchar_t* name, uint64_t size) {
    const size_t units = wcslen(name) + 1;
    if (Count == MaxCount || Used + units > TextCapacity) return false;
    Start[Count] = static_cast<uint32_t>(Used);
    Size[Count] = size;
    std::memcpy(Text + Used, name, units * sizeof(wchar_t));
    Used += units;
    ++Count;
    // A folder of one file is opened by the dump itself: nothing would
    // overlap. From the second on, the files are read ahead.
    if (Count == 2) Reader.Offer(Name(0), Size[0]);
    if (Count >= 2) Reader.Offer(Name(Count - 1), size);
    return true;
}
