// MD5 throughput of our hasher against OpenSSL's on the same 64 MiB buffer.

#include "support/Md5.h"

#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <random>
#include <string>

namespace {

constexpr std::size_t InputSize = 64u << 20;

const std::string& Input() {
    static const std::string data = [] {
        std::string s(InputSize, '\0');
        std::mt19937 gen(1);
        for (char& c : s)
            c = static_cast<char>(gen());
        return s;
    }();
    return data;
}

void BM_Md5Text(benchmark::State& state) {
    const std::string& in = Input();
    for (auto _ : state)
        benchmark::DoNotOptimize(MD5Text(in));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * InputSize);
}

void BM_OpenSslMd5(benchmark::State& state) {
    const std::string& in = Input();
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    for (auto _ : state) {
        EVP_Digest(in.data(), in.size(), digest, &size, EVP_md5(), nullptr);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * InputSize);
}

} // namespace

BENCHMARK(BM_Md5Text)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_OpenSslMd5)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK_MAIN();
