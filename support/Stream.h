#pragma once
// Byte streams with a position, as the network client reads bodies into them and sends from
// them. Sizes and positions are 64-bit.

#include <cstddef>
#include <cstdint>
#include <string>

#include "support/Exception.h"

class TStream {
public:
    virtual ~TStream() = default;

    virtual std::int64_t Size() const = 0;
    // Grows (with zero bytes) or cuts the stream; the position is kept. Raises on failure.
    virtual void SetSize(std::int64_t size) = 0;
    virtual std::int64_t Position() const = 0;
    virtual void SetPosition(std::int64_t position) = 0;

    // Reads up to n bytes at the position and advances; 0 at the end.
    virtual std::size_t Read(void* buffer, std::size_t n) = 0;
    // Writes n bytes at the position, growing the stream as needed, and advances. Raises on
    // failure.
    virtual void Write(const void* buffer, std::size_t n) = 0;
    // A hint that the stream will grow to about this size; changes nothing that can be seen.
    virtual void Reserve(std::int64_t) {}
};

// A stream grew past the limit its owner set.
class EStreamTooLarge : public Exception {
public:
    using Exception::Exception;
};

// A stream held in memory. A size that cannot be held raises std::bad_alloc or
// std::length_error, never anything worse; one past the stream's limit raises EStreamTooLarge
// and leaves the stream as it was.
class TMemoryStream : public TStream {
public:
    TMemoryStream() = default;
    explicit TMemoryStream(std::string data) : data_(std::move(data)) {}
    // The most bytes the stream may hold; a reserve hint never goes beyond it.
    void SetLimit(std::int64_t limit) { limit_ = limit; }

    std::int64_t Size() const override { return static_cast<std::int64_t>(data_.size()); }
    void SetSize(std::int64_t size) override;
    std::int64_t Position() const override { return position_; }
    void SetPosition(std::int64_t position) override;
    std::size_t Read(void* buffer, std::size_t n) override;
    void Write(const void* buffer, std::size_t n) override;
    void Reserve(std::int64_t size) override;

    const std::string& Data() const { return data_; }
    // Hands the bytes over without a copy; the stream is empty afterwards.
    std::string TakeData() {
        position_ = 0;
        return std::move(data_);
    }

private:
    void CheckLimit(std::int64_t size) const;

    std::string data_;
    std::int64_t position_ = 0;
    std::int64_t limit_ = INT64_MAX;
};

// A stream over a file created (or emptied) for writing, or over an existing file opened for
// reading only; raises EInOutError when the file cannot be made or opened, or a write, read or
// seek fails.
class TFileStream : public TStream {
public:
    enum class TMode { Create, Read };
    explicit TFileStream(const std::string& path, TMode mode = TMode::Create);
    ~TFileStream() override;
    TFileStream(const TFileStream&) = delete;
    TFileStream& operator=(const TFileStream&) = delete;

    std::int64_t Size() const override { return size_; }
    void SetSize(std::int64_t size) override;
    std::int64_t Position() const override { return position_; }
    void SetPosition(std::int64_t position) override;
    std::size_t Read(void* buffer, std::size_t n) override;
    void Write(const void* buffer, std::size_t n) override;

private:
    std::intptr_t file_;
    std::string path_;
    std::int64_t size_ = 0, position_ = 0;
};

// A stream over a file someone else keeps open (a temporary file, say), from its start; raises
// EInOutError as TFileStream does.
class THandleStream : public TStream {
public:
    explicit THandleStream(std::intptr_t file, std::int64_t size = 0) : file_(file), size_(size) {}

    std::int64_t Size() const override { return size_; }
    void SetSize(std::int64_t size) override;
    std::int64_t Position() const override { return position_; }
    void SetPosition(std::int64_t position) override;
    std::size_t Read(void* buffer, std::size_t n) override;
    void Write(const void* buffer, std::size_t n) override;

private:
    std::intptr_t file_;
    std::int64_t size_ = 0, position_ = 0;
};
