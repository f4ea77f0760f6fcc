// Test inputs placed so that the byte after the last one is an inaccessible
// page: a decoder that reads past Size faults instead of passing silently.
#pragma once
#include <windows.h>

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>

#include "encoding/Encoding.h"

class GuardedBytes {
public:
    explicit GuardedBytes(const std::string& bytes) : size_(bytes.size()) {
        SYSTEM_INFO info;
        GetSystemInfo(&info);
        size_t page = info.dwPageSize;
        size_t dataPages = (size_ + page - 1) / page;
        if (dataPages == 0) dataPages = 1;
        total_ = (dataPages + 1) * page;
        base_ = static_cast<uint8_t*>(VirtualAlloc(nullptr, total_, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        if (!base_) return;
        DWORD old = 0;
        VirtualProtect(base_ + dataPages * page, page, PAGE_NOACCESS, &old);
        data_ = base_ + dataPages * page - size_;
        if (size_) memcpy(data_, bytes.data(), size_);
    }
    ~GuardedBytes() {
        if (base_) VirtualFree(base_, 0, MEM_RELEASE);
    }
    GuardedBytes(const GuardedBytes&) = delete;
    GuardedBytes& operator=(const GuardedBytes&) = delete;

    const uint8_t* data() const { return data_; }
    uint64_t size() const { return size_; }
    bool ok() const { return data_ != nullptr; }
    // True when the page right after the data really cannot be read.
    bool guarded() const { return data_ && IsBadReadPtr(data_ + size_, 1); }

private:
    uint8_t* base_ = nullptr;
    uint8_t* data_ = nullptr;
    size_t size_ = 0;
    size_t total_ = 0;
};

// A record as OpenInput leaves it for data that has no file behind it.
inline InputSource MakeSource(const GuardedBytes& bytes, uint32_t encoding = Oem) {
    InputSource source{};
    source.Data = bytes.data();
    source.Size = bytes.size();
    source.Encoding = encoding;
    source.CodePage = 1252;
    source.EbcdicCodePage = 1140;
    source.ReplacementChar = 0xFFFD;
    return source;
}

inline std::string Bytes(std::initializer_list<int> values) {
    std::string s;
    for (int v : values) s.push_back(static_cast<char>(v));
    return s;
}

inline std::string Repeat(const std::string& piece, size_t times) {
    std::string s;
    s.reserve(piece.size() * times);
    for (size_t i = 0; i < times; ++i) s += piece;
    return s;
}

// Latin-1 text widened to UTF-16 or UTF-32 in either byte order.
inline std::string WideBytes(const std::string& text, int unitBytes, bool bigEndian) {
    std::string s;
    for (unsigned char c : text) {
        for (int i = 0; i < unitBytes; ++i) {
            int shift = bigEndian ? (unitBytes - 1 - i) * 8 : i * 8;
            s.push_back(static_cast<char>(shift == 0 ? c : 0));
        }
    }
    return s;
}
