#include "support/Stream.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <stdexcept>

namespace {

std::size_t CheckedSize(std::int64_t size) {
    if (size < 0 || static_cast<std::uint64_t>(size) > SIZE_MAX)
        throw std::length_error("stream size out of range");
    return static_cast<std::size_t>(size);
}

} // namespace

void TMemoryStream::CheckLimit(std::int64_t size) const {
    if (size > limit_)
        throw EStreamTooLarge("The body is larger than " + std::to_string(limit_) + " bytes.");
}

void TMemoryStream::SetSize(std::int64_t size) {
    CheckLimit(size);
    data_.resize(CheckedSize(size));
}

void TMemoryStream::SetPosition(std::int64_t position) {
    position_ = position < 0 ? 0 : position;
}

std::size_t TMemoryStream::Read(void* buffer, std::size_t n) {
    if (position_ >= Size())
        return 0;
    std::size_t at = static_cast<std::size_t>(position_);
    std::size_t k = std::min(n, data_.size() - at);
    std::memcpy(buffer, data_.data() + at, k);
    position_ += static_cast<std::int64_t>(k);
    return k;
}

void TMemoryStream::Write(const void* buffer, std::size_t n) {
    if (n == 0)
        return;
    std::size_t at = CheckedSize(position_);
    if (n > SIZE_MAX - at)
        throw std::length_error("stream size out of range");
    if (n > static_cast<std::uint64_t>(INT64_MAX) - at)
        throw std::length_error("stream size out of range");
    CheckLimit(static_cast<std::int64_t>(at + n));
    if (at > data_.size())
        data_.resize(at);
    // Overwrite what is there and append the rest, so growing never fills bytes twice.
    std::size_t overlap = std::min(n, data_.size() - at);
    std::memcpy(data_.data() + at, buffer, overlap);
    data_.append(static_cast<const char*>(buffer) + overlap, n - overlap);
    position_ += static_cast<std::int64_t>(n);
}

void TMemoryStream::Reserve(std::int64_t size) {
    size = std::min(size, limit_);
    if (size > 0 && static_cast<std::uint64_t>(size) <= SIZE_MAX)
        data_.reserve(static_cast<std::size_t>(size));
}

#include "platform/Files.h"
#include "support/Exception.h"

TFileStream::TFileStream(const std::string& path, TMode mode)
    : file_(mode == TMode::Read ? platform::OpenFileForReading(path)
                                : platform::OpenFileForWriting(path)),
      path_(path) {
    if (file_ == platform::InvalidFile)
        throw EInOutError((mode == TMode::Read ? "Cannot open file " : "Cannot create file ") +
                          path);
    if (mode == TMode::Read)
        size_ = platform::SizeOfFile(file_);
    if (size_ < 0) {
        platform::CloseFile(file_);
        throw EInOutError("Cannot read " + path);
    }
}

TFileStream::~TFileStream() {
    platform::CloseFile(file_);
}

void TFileStream::SetSize(std::int64_t size) {
    if (size < 0 || !platform::TruncateFile(file_, size))
        throw EInOutError("Cannot set the size of " + path_);
    size_ = size;
}

void TFileStream::SetPosition(std::int64_t position) {
    position = position < 0 ? 0 : position;
    if (!platform::SeekFile(file_, position))
        throw EInOutError("Cannot seek in " + path_);
    position_ = position;
}

std::size_t TFileStream::Read(void* buffer, std::size_t n) {
    long long got = platform::ReadFromFile(file_, buffer, n);
    if (got < 0)
        throw EInOutError("Cannot read " + path_);
    position_ += got;
    return static_cast<std::size_t>(got);
}

void TFileStream::Write(const void* buffer, std::size_t n) {
    if (!platform::WriteToFile(file_, buffer, n))
        throw EInOutError("Cannot write " + path_);
    position_ += static_cast<std::int64_t>(n);
    if (position_ > size_)
        size_ = position_;
}

void THandleStream::SetSize(std::int64_t size) {
    if (size < 0 || !platform::TruncateFile(file_, size))
        throw EInOutError("Cannot set the size of a file");
    size_ = size;
}

void THandleStream::SetPosition(std::int64_t position) {
    position = position < 0 ? 0 : position;
    if (!platform::SeekFile(file_, position))
        throw EInOutError("Cannot seek in a file");
    position_ = position;
}

std::size_t THandleStream::Read(void* buffer, std::size_t n) {
    const long long got = platform::ReadFromFile(file_, buffer, n);
    if (got < 0)
        throw EInOutError("Cannot read a file");
    position_ += got;
    return static_cast<std::size_t>(got);
}

void THandleStream::Write(const void* buffer, std::size_t n) {
    if (!platform::WriteToFile(file_, buffer, n))
        throw EInOutError("Cannot write a file");
    position_ += static_cast<std::int64_t>(n);
    size_ = std::max(size_, position_);
}
