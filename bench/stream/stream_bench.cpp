// Whole-file and embedded-block loads against a plain fread of the same bytes,
// and typed big-endian reads against decoding the same bytes by hand.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <vector>

#include "runtime/text.h"
#include "stream/endian_stream.h"
#include "stream/incbin.h"
#include "stream/stream.h"

namespace {

using namespace kelpora;

constexpr size_t LOAD_BYTES = 50u << 20;
constexpr int TYPED_VALUES = 1 << 20;

// The 50 MB test data, in a temporary file and as a registered block.
struct Data {
  Data() : bytes(LOAD_BYTES) {
    for (size_t i = 0; i < bytes.size(); ++i)
      bytes[i] = static_cast<uint8_t>(i * 2654435761u >> 24);
    path = (std::filesystem::temp_directory_path() /
            ("kelpora-bench-" + std::to_string(::getpid()) + ".bin"))
               .string();
    std::FILE* out = std::fopen(path.c_str(), "wb");
    if (!out || std::fwrite(bytes.data(), 1, bytes.size(), out) != bytes.size()) std::abort();
    std::fclose(out);
    InitStreamModule();
    RegisterResource(u"bench/block.bin", bytes.data(), static_cast<int>(bytes.size()));
  }
  ~Data() { std::remove(path.c_str()); }
  std::vector<uint8_t> bytes;
  std::string path;
};

Data& TheData() {
  static Data data;
  return data;
}

void Check(bool ok, benchmark::State& state) {
  if (!ok) state.SkipWithError("loaded bytes differ in size");
}

void BM_LoadAllBytes_File(benchmark::State& state) {
  String url = FromBytes(TheData().path);
  for (auto _ : state) {
    ByteBuffer bytes = LoadAllBytes(url);
    benchmark::DoNotOptimize(bytes.data());
    Check(bytes.size() == LOAD_BYTES, state);
  }
  state.SetBytesProcessed(state.iterations() * LOAD_BYTES);
}

// The peer: open, size, allocate, one fread, close.
void BM_Peer_Fread_File(benchmark::State& state) {
  const char* path = TheData().path.c_str();
  for (auto _ : state) {
    std::FILE* file = std::fopen(path, "rb");
    std::fseek(file, 0, SEEK_END);
    long size = std::ftell(file);
    std::fseek(file, 0, SEEK_SET);
    std::unique_ptr<uint8_t[]> bytes(new uint8_t[size]);
    size_t got = std::fread(bytes.get(), 1, static_cast<size_t>(size), file);
    std::fclose(file);
    benchmark::DoNotOptimize(bytes.get());
    Check(got == LOAD_BYTES, state);
  }
  state.SetBytesProcessed(state.iterations() * LOAD_BYTES);
}

void BM_LoadAllBytes_Embedded(benchmark::State& state) {
  TheData();
  for (auto _ : state) {
    ByteBuffer bytes = LoadAllBytes(u"incbin::bench/block.bin");
    benchmark::DoNotOptimize(bytes.data());
    Check(bytes.size() == LOAD_BYTES, state);
  }
  state.SetBytesProcessed(state.iterations() * LOAD_BYTES);
}

// A second peer for the embedded block: the bare copy of its bytes.
void BM_Peer_Memcpy_Embedded(benchmark::State& state) {
  TheData();  // registers the block when this runs first
  const uint8_t* block = FindResourceData(u"bench/block.bin");
  for (auto _ : state) {
    std::unique_ptr<uint8_t[]> bytes(new uint8_t[LOAD_BYTES]);
    std::memcpy(bytes.get(), block, LOAD_BYTES);
    benchmark::DoNotOptimize(bytes.get());
  }
  state.SetBytesProcessed(state.iterations() * LOAD_BYTES);
}

void BM_ByteSwap_ReadI32(benchmark::State& state) {
  const uint8_t* block = TheData().bytes.data();
  for (auto _ : state) {
    auto stream = WrapBigEndian(CreateBlockStream(block, TYPED_VALUES * 4, 1, 0));
    int64_t sum = 0;
    for (int i = 0; i < TYPED_VALUES; ++i) sum += stream->ReadI32();
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * TYPED_VALUES);
}

void BM_Plain_ReadI32(benchmark::State& state) {
  const uint8_t* block = TheData().bytes.data();
  for (auto _ : state) {
    Ref<TDataStream> stream = CreateBlockStream(block, TYPED_VALUES * 4, 1, 0);
    int64_t sum = 0;
    for (int i = 0; i < TYPED_VALUES; ++i) sum += stream->ReadI32();
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * TYPED_VALUES);
}

// The peer: big-endian values decoded straight from the same memory.
void BM_Peer_DecodeBigEndian(benchmark::State& state) {
  const uint8_t* block = TheData().bytes.data();
  for (auto _ : state) {
    int64_t sum = 0;
    for (int i = 0; i < TYPED_VALUES; ++i) {
      uint32_t v;
      std::memcpy(&v, block + 4 * i, 4);
      sum += static_cast<int32_t>(__builtin_bswap32(v));
    }
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * TYPED_VALUES);
}

BENCHMARK(BM_Peer_Fread_File)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadAllBytes_File)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Peer_Memcpy_Embedded)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadAllBytes_Embedded)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Peer_DecodeBigEndian)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Plain_ReadI32)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ByteSwap_ReadI32)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
