#include "platform/Crypto.h"

#include "platform/WinHandles.h"

#include <bcrypt.h>

#include <cstring>
#include <vector>

namespace platform {

namespace {

// bcrypt.dll, loaded for one use: a program that never checks a signature never imports it.
class TBcrypt {
public:
    TBcrypt() : library_(LoadLibraryA("bcrypt.dll")) {
        if (!library_)
            return;
        ok_ = Load(OpenAlgorithmProvider, "BCryptOpenAlgorithmProvider") &&
              Load(CloseAlgorithmProvider, "BCryptCloseAlgorithmProvider") &&
              Load(GetProperty, "BCryptGetProperty") && Load(CreateHash, "BCryptCreateHash") &&
              Load(HashData, "BCryptHashData") && Load(FinishHash, "BCryptFinishHash") &&
              Load(DestroyHash, "BCryptDestroyHash") &&
              Load(ImportKeyPair, "BCryptImportKeyPair") && Load(DestroyKey, "BCryptDestroyKey") &&
              Load(VerifySignature, "BCryptVerifySignature");
    }
    ~TBcrypt() {
        if (library_)
            FreeLibrary(library_);
    }
    TBcrypt(const TBcrypt&) = delete;
    TBcrypt& operator=(const TBcrypt&) = delete;
    explicit operator bool() const { return ok_; }

    decltype(&::BCryptOpenAlgorithmProvider) OpenAlgorithmProvider = nullptr;
    decltype(&::BCryptCloseAlgorithmProvider) CloseAlgorithmProvider = nullptr;
    decltype(&::BCryptGetProperty) GetProperty = nullptr;
    decltype(&::BCryptCreateHash) CreateHash = nullptr;
    decltype(&::BCryptHashData) HashData = nullptr;
    decltype(&::BCryptFinishHash) FinishHash = nullptr;
    decltype(&::BCryptDestroyHash) DestroyHash = nullptr;
    decltype(&::BCryptImportKeyPair) ImportKeyPair = nullptr;
    decltype(&::BCryptDestroyKey) DestroyKey = nullptr;
    decltype(&::BCryptVerifySignature) VerifySignature = nullptr;

private:
    template <class F> bool Load(F& function, const char* name) {
        function = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(library_, name)));
        return function != nullptr;
    }

    HMODULE library_;
    bool ok_ = false;
};

// One algorithm provider, closed with its scope.
class TAlgorithm {
public:
    TAlgorithm(const TBcrypt& cng, LPCWSTR id) : cng_(cng) {
        if (cng_.OpenAlgorithmProvider(&handle_, id, nullptr, 0) != 0)
            handle_ = nullptr;
    }
    ~TAlgorithm() {
        if (handle_)
            cng_.CloseAlgorithmProvider(handle_, 0);
    }
    TAlgorithm(const TAlgorithm&) = delete;
    TAlgorithm& operator=(const TAlgorithm&) = delete;
    BCRYPT_ALG_HANDLE Get() const { return handle_; }

private:
    const TBcrypt& cng_;
    BCRYPT_ALG_HANDLE handle_ = nullptr;
};

} // namespace

bool Sha256(std::string_view bytes, TSha256Digest& digest) {
    TBcrypt cng;
    if (!cng)
        return false;
    TAlgorithm algorithm(cng, BCRYPT_SHA256_ALGORITHM);
    if (!algorithm.Get())
        return false;
    // The hash object's memory is ours before Windows 7; asking for its size works everywhere.
    DWORD objectSize = 0;
    ULONG got = 0;
    if (cng.GetProperty(algorithm.Get(), BCRYPT_OBJECT_LENGTH,
                        reinterpret_cast<PUCHAR>(&objectSize), sizeof objectSize, &got, 0) != 0)
        return false;
    std::vector<UCHAR> object(objectSize);
    BCRYPT_HASH_HANDLE hash = nullptr;
    if (cng.CreateHash(algorithm.Get(), &hash, object.data(), objectSize, nullptr, 0, 0) != 0)
        return false;
    bool ok = true;
    // The count is 32-bit: large inputs go in slices.
    constexpr std::size_t Slice = 1u << 30;
    for (std::size_t at = 0; ok && at < bytes.size(); at += Slice) {
        std::size_t n = bytes.size() - at < Slice ? bytes.size() - at : Slice;
        ok = cng.HashData(hash, reinterpret_cast<PUCHAR>(const_cast<char*>(bytes.data() + at)),
                          static_cast<ULONG>(n), 0) == 0;
    }
    ok = ok && cng.FinishHash(hash, digest.data(), static_cast<ULONG>(digest.size()), 0) == 0;
    cng.DestroyHash(hash);
    return ok;
}

bool VerifyP256(const TP256Point& point, const TSha256Digest& digest,
                const TP256Signature& signature) {
    TBcrypt cng;
    if (!cng || point[0] != 0x04)
        return false;
    TAlgorithm algorithm(cng, BCRYPT_ECDSA_P256_ALGORITHM);
    if (!algorithm.Get())
        return false;
    // The public blob: its header, then X and Y.
    std::vector<UCHAR> blob(sizeof(BCRYPT_ECCKEY_BLOB) + 64);
    BCRYPT_ECCKEY_BLOB header{BCRYPT_ECDSA_PUBLIC_P256_MAGIC, 32};
    std::memcpy(blob.data(), &header, sizeof header);
    std::memcpy(blob.data() + sizeof header, point.data() + 1, 64);
    BCRYPT_KEY_HANDLE key = nullptr;
    if (cng.ImportKeyPair(algorithm.Get(), nullptr, BCRYPT_ECCPUBLIC_BLOB, &key, blob.data(),
                          static_cast<ULONG>(blob.size()), 0) != 0)
        return false;
    NTSTATUS status = cng.VerifySignature(
        key, nullptr, const_cast<PUCHAR>(digest.data()), static_cast<ULONG>(digest.size()),
        const_cast<PUCHAR>(signature.data()), static_cast<ULONG>(signature.size()), 0);
    cng.DestroyKey(key);
    return status == 0;
}

} // namespace platform
