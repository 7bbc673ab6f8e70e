// Throughput of the multipart decoder and of the field lookup.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "engine/HttpEng.h"
#include "tests/support/FakeEngine.h"

namespace vantora {
namespace {

const char kBoundary[] = "----VantoraBenchBoundary9f3a";

std::string FilePartBody(size_t size) {
  std::string content(size, '\0');
  for (size_t i = 0; i < size; ++i) content[i] = static_cast<char>((i * 131) % 251);
  std::string body = std::string("--") + kBoundary +
                     "\r\nContent-Disposition: form-data; name=\"title\"\r\n\r\nBench\r\n";
  body += std::string("--") + kBoundary +
          "\r\nContent-Disposition: form-data; name=\"upload\"; filename=\"c:\\data\\bench.bin\""
          "\r\nContent-Type: application/octet-stream\r\n\r\n";
  body += content + "\r\n--" + kBoundary + "--\r\n";
  return body;
}

std::string FieldsBody(int fields) {
  std::string body;
  for (int i = 0; i < fields; ++i) {
    body += std::string("--") + kBoundary + "\r\nContent-Disposition: form-data; name=\"field" +
            std::to_string(i) + "\"\r\n\r\nsome value & more " + std::to_string(i) + "\r\n";
  }
  return body + "--" + kBoundary + "--\r\n";
}

void DecodeLoop(benchmark::State& state, const std::string& body) {
  char dir_template[] = "/tmp/vantora-bench-XXXXXX";
  const char* dir = mkdtemp(dir_template);
  if (!dir) {
    state.SkipWithError("mkdtemp failed");
    return;
  }
  FakeEngine engine;
  engine.SetTempDir(dir);
  engine.variables["CONTENT LENGTH"] = std::to_string(body.size());
  engine.MakeCurrent();
  for (auto _ : state) {
    engine.SetBody(body);
    std::string data = engine.ReadMultipartInput();
    benchmark::DoNotOptimize(data);
    engine.FinishRequest();  // deletes the upload
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(body.size()));
  rmdir(dir);
}

// One upload of the given size, streamed to a temporary file.
void BM_MultipartUpload(benchmark::State& state) {
  DecodeLoop(state, FilePartBody(static_cast<size_t>(state.range(0))));
}
BENCHMARK(BM_MultipartUpload)->Arg(64 << 10)->Arg(8 << 20)->Unit(benchmark::kMillisecond);

// Many small text fields.
void BM_MultipartFields(benchmark::State& state) {
  DecodeLoop(state, FieldsBody(static_cast<int>(state.range(0))));
}
BENCHMARK(BM_MultipartFields)->Arg(200)->Unit(benchmark::kMicrosecond);

// A 10,000-byte query of url-encoded fields.
std::string TenThousandByteQuery() {
  std::string query;
  for (int i = 0; query.size() < 10000; ++i) {
    query += "field" + std::to_string(i) + "=value+%41%42+" + std::to_string(i) + "&";
  }
  query.resize(10000);
  return query;
}

void BM_FindFieldLast(benchmark::State& state) {
  const std::string query = TenThousandByteQuery() + "&wanted=found";
  for (auto _ : state) benchmark::DoNotOptimize(FindField(query, "WANTED", ""));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(query.size()));
}
BENCHMARK(BM_FindFieldLast);

void BM_FindFieldMissing(benchmark::State& state) {
  const std::string query = TenThousandByteQuery();
  for (auto _ : state) benchmark::DoNotOptimize(FindField(query, "absent", "default"));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(query.size()));
}
BENCHMARK(BM_FindFieldMissing);

}  // namespace
}  // namespace vantora
