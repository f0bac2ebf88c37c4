#include "plugin/MemoryStream.h"

#include <algorithm>
#include <cstring>

using namespace Steinberg;

namespace corvena {

tresult PLUGIN_API MemoryStream::queryInterface(const TUID iid, void** obj) {
    if (!obj)
        return kInvalidArgument;
    if (FUnknownPrivate::iidEqual(iid, FUnknown::iid) || FUnknownPrivate::iidEqual(iid, IBStream::iid)) {
        addRef();
        *obj = static_cast<IBStream*>(this);
        return kResultOk;
    }
    *obj = nullptr;
    return kNoInterface;
}

uint32 PLUGIN_API MemoryStream::release() {
    const uint32 left = --refCount_;
    if (left == 0)
        delete this;
    return left;
}

tresult PLUGIN_API MemoryStream::read(void* buffer, int32 numBytes, int32* numBytesRead) {
    if (numBytesRead)
        *numBytesRead = 0;
    if (numBytes < 0 || (!buffer && numBytes > 0))
        return kInvalidArgument;
    const size_t left = cursor_ < bytes_.size() ? bytes_.size() - cursor_ : 0;
    const size_t n = std::min(left, static_cast<size_t>(numBytes));
    if (n > 0)
        std::memcpy(buffer, bytes_.data() + cursor_, n);
    cursor_ += n;
    if (numBytesRead)
        *numBytesRead = static_cast<int32>(n);
    return kResultOk;
}

tresult PLUGIN_API MemoryStream::write(void* buffer, int32 numBytes, int32* numBytesWritten) {
    if (numBytesWritten)
        *numBytesWritten = 0;
    if (numBytes < 0 || (!buffer && numBytes > 0))
        return kInvalidArgument;
    const size_t n = static_cast<size_t>(numBytes);
    if (cursor_ + n > kMaxSize)
        return kOutOfMemory;
    if (cursor_ + n > bytes_.size())
        bytes_.resize(cursor_ + n);
    if (n > 0)
        std::memcpy(&bytes_[cursor_], buffer, n);
    cursor_ += n;
    if (numBytesWritten)
        *numBytesWritten = numBytes;
    return kResultOk;
}

tresult PLUGIN_API MemoryStream::seek(int64 pos, int32 mode, int64* result) {
    int64 base = 0;
    switch (mode) {
    case kIBSeekSet: base = 0; break;
    case kIBSeekCur: base = static_cast<int64>(cursor_); break;
    case kIBSeekEnd: base = static_cast<int64>(bytes_.size()); break;
    default: return kInvalidArgument;
    }
    const int64 size = static_cast<int64>(bytes_.size());
    // Both within [0, size]; checked before adding so nothing overflows.
    if (pos < -base || pos > size - base)
        return kInvalidArgument;
    cursor_ = static_cast<size_t>(base + pos);
    if (result)
        *result = static_cast<int64>(cursor_);
    return kResultOk;
}

tresult PLUGIN_API MemoryStream::tell(int64* pos) {
    if (!pos)
        return kInvalidArgument;
    *pos = static_cast<int64>(cursor_);
    return kResultOk;
}

} // namespace corvena
