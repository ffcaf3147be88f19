#include "platform/Crypto.h"

#include <climits>

#include "platform/WinHandles.h"

#include <bcrypt.h>

#include <cstring>
#include <vector>

namespace platform {

namespace {

// bcrypt.dll, loaded for one use: a program that never checks a signature never imports it.
class TBcrypt {
public:
    TBcrypt() : library_(LoadSystemLibrary("bcrypt.dll")) {
        if (!library_)
            return;
        ok_ = Load(OpenAlgorithmProvider, "BCryptOpenAlgorithmProvider") &&
              Load(CloseAlgorithmProvider, "BCryptCloseAlgorithmProvider") &&
              Load(GetProperty, "BCryptGetProperty") && Load(CreateHash, "BCryptCreateHash") &&
              Load(HashData, "BCryptHashData") && Load(FinishHash, "BCryptFinishHash") &&
              Load(DestroyHash, "BCryptDestroyHash") &&
              Load(ImportKeyPair, "BCryptImportKeyPair") && Load(DestroyKey, "BCryptDestroyKey") &&
              Load(VerifySignature, "BCryptVerifySignature") && Load(GenRandom, "BCryptGenRandom");
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
    decltype(&::BCryptGenRandom) GenRandom = nullptr;

private:
    template <class F> bool Load(F& function, const char* name) {
        return LoadFunction(library_, function, name);
    }

    UniqueModule library_;
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

// The library, the provider and the hash object live as long as the hasher.
struct TSha256::TImpl {
    TBcrypt cng;
    TAlgorithm algorithm{cng, BCRYPT_SHA256_ALGORITHM};
    std::vector<UCHAR> object;
    BCRYPT_HASH_HANDLE hash = nullptr;
    bool ok = false;

    void Close() {
        if (hash)
            cng.DestroyHash(hash);
        hash = nullptr;
    }
    ~TImpl() { Close(); }
};

TSha256::TSha256() : impl_(std::make_unique<TImpl>()) {
    Reset();
}

TSha256::~TSha256() = default;

void TSha256::Reset() {
    TImpl& d = *impl_;
    d.Close();
    d.ok = false;
    if (!d.cng || !d.algorithm.Get())
        return;
    // The hash object's memory is ours before Windows 7; asking for its size works everywhere.
    DWORD size = 0;
    ULONG got = 0;
    if (d.cng.GetProperty(d.algorithm.Get(), BCRYPT_OBJECT_LENGTH, reinterpret_cast<PUCHAR>(&size),
                          sizeof size, &got, 0) != 0)
        return;
    d.object.assign(size, 0);
    d.ok = d.cng.CreateHash(d.algorithm.Get(), &d.hash, d.object.data(), size, nullptr, 0, 0) == 0;
}

void TSha256::Update(const void* bytes, std::size_t n) {
    TImpl& d = *impl_;
    // The count is 32-bit: large inputs go in slices.
    constexpr std::size_t Slice = 1u << 30;
    const UCHAR* at = static_cast<const UCHAR*>(bytes);
    while (d.ok && n > 0) {
        std::size_t k = n < Slice ? n : Slice;
        d.ok = d.cng.HashData(d.hash, const_cast<PUCHAR>(at), static_cast<ULONG>(k), 0) == 0;
        at += k;
        n -= k;
    }
}

bool TSha256::Final(TSha256Digest& digest) {
    TImpl& d = *impl_;
    bool ok =
        d.ok && d.cng.FinishHash(d.hash, digest.data(), static_cast<ULONG>(digest.size()), 0) == 0;
    Reset();
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

bool RandomBytes(void* bytes, std::size_t n) {
    TBcrypt cng;
    return cng && n <= ULONG_MAX &&
           cng.GenRandom(nullptr, static_cast<PUCHAR>(bytes), static_cast<ULONG>(n),
                         BCRYPT_USE_SYSTEM_PREFERRED_RNG) == 0;
}

} // namespace platform
