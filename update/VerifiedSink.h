#pragma once
// The sink of a verified download, and the SHA-256 of a file.

#include <algorithm>
#include <climits>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "platform/Crypto.h"
#include "platform/Files.h"
#include "support/Md5.h"
#include "support/Stream.h"

// A downloaded body on its way from the socket to a temporary file beside its target (or, for
// the small files the check reads itself, into memory): each piece is written as it arrives
// and passes through the MD5 and SHA-256 on the way, and the first bytes are kept, since the
// not-found text is known by them. Without a file (none could
// be made, or a write failed) the bytes are still hashed, so the exchange and its messages stay
// the same and the failure shows when the file is to take its place. The SHA-256 is taken only
// for a signed release: a build without keys never loads the platform's crypto.
class TVerifiedSink : public TStream {
public:
    // Told of every piece as it arrives (the low-speed rule of a listed file).
    std::function<void(std::size_t)> OnPiece;
    // Asked when an attempt starts again from the client's point of view: true keeps the bytes
    // so far, which the attempt then continues (a resumed download asks only for the rest).
    std::function<bool()> OnRestart;

    // Takes the first size bytes the file already holds through the digests, as if they had
    // just arrived, and leaves the file's position after them; false when they cannot be read.
    bool Preload(std::int64_t size) {
        if (!writable_ || !platform::SeekFile(file_, 0))
            return false;
        char piece[1 << 16];
        std::int64_t left = size;
        while (left > 0) {
            const long long got = platform::ReadFromFile(
                file_, piece, static_cast<std::size_t>(std::min<std::int64_t>(left, sizeof piece)));
            if (got <= 0)
                return false;
            Take(piece, static_cast<std::size_t>(got));
            left -= got;
        }
        return true;
    }
    // The size the answer announced for the whole file, when known: a body that ends short of
    // it was cut.
    void SetExpected(std::int64_t size) { expected_ = size; }
    bool Short() const { return expected_ >= 0 && size_ < expected_; }

    // Forgets every byte so far: the file is emptied and the digests start again.
    void Drop() {
        if (writable_)
            writable_ = platform::SeekFile(file_, 0) && platform::TruncateFile(file_, 0);
        if (body_)
            body_->clear();
        md5_.Reset();
        if (sha256_)
            sha256_->Reset();
        head_.clear();
        size_ = 0;
    }

    TVerifiedSink(platform::FileHandle file, bool sha256, std::string* body = nullptr)
        : file_(file), body_(body) {
        if (sha256)
            sha256_.emplace();
    }

    // The most bytes the body may have; one more fails the transfer at once.
    void SetLimit(std::int64_t limit) { limit_ = limit; }
    std::int64_t Limit() const { return limit_; }
    // Whether the body is held in memory rather than streamed to a file.
    bool InMemory() const { return body_ != nullptr; }

    std::int64_t Size() const override { return size_; }
    std::int64_t Position() const override { return size_; }
    // The client only ever goes back to the start, for a new attempt.
    void SetSize(std::int64_t size) override { Rewind(size); }
    void SetPosition(std::int64_t position) override { Rewind(position); }
    std::size_t Read(void*, std::size_t) override { return 0; }
    void Write(const void* bytes, std::size_t n) override {
        if (static_cast<std::int64_t>(n) > limit_ - size_)
            throw EStreamTooLarge("The body is larger than " + std::to_string(limit_) + " bytes.");
        if (writable_ && !platform::WriteToFile(file_, bytes, n))
            writable_ = false;
        if (body_)
            body_->append(static_cast<const char*>(bytes), n);
        Take(bytes, n);
        if (OnPiece)
            OnPiece(n);
    }

    const std::string& Head() const { return head_; }
    bool Writable() const { return writable_; }
    // Each ends its hash: call once, after the transfer.
    std::string FinishMd5Text() { return DigestToHex(md5_.Final()); }
    bool FinishSha256(platform::TSha256Digest& digest) { return sha256_ && sha256_->Final(digest); }

private:
    static constexpr std::size_t HeadKept = 64;

    void Take(const void* bytes, std::size_t n) {
        md5_.Update(bytes, n);
        if (sha256_)
            sha256_->Update(bytes, n);
        if (head_.size() < HeadKept)
            head_.append(static_cast<const char*>(bytes), std::min(n, HeadKept - head_.size()));
        size_ += static_cast<std::int64_t>(n);
    }

    void Rewind(std::int64_t to) {
        if (to == size_)
            return;
        if (to != 0)
            throw EInOutError("A download can only start again from its beginning.");
        if (OnRestart && OnRestart())
            return;
        Drop();
    }

    platform::FileHandle file_;
    std::string* body_;
    bool writable_ = file_ != platform::InvalidFile;
    TIdHashMessageDigest5 md5_;
    std::optional<platform::TSha256> sha256_;
    std::string head_;
    std::int64_t size_ = 0;
    std::int64_t limit_ = INT64_MAX;
    std::int64_t expected_ = -1;
};

// The SHA-256 of the whole file, read from its start; false when it cannot be read.
bool FileSha256(platform::FileHandle file, platform::TSha256Digest& digest);
