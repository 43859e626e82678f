// Composing a mail with a picture attached against a plain base64 encoder
// over the same bytes.
#include <benchmark/benchmark.h>

#include <random>
#include <string>

#include "platform/Base64.h"
#include "mail/MimeMessage.h"

namespace {

std::string Attachment(size_t size) {
  std::string bytes(size, '\0');
  std::mt19937 random(42);
  for (char& c : bytes) c = static_cast<char>(random());
  return bytes;
}

void BM_PlainBase64(benchmark::State& state) {
  const std::string bytes = Attachment(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    std::string out = Base64Encode(bytes.data(), bytes.size());
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_ComposeMail(benchmark::State& state) {
  const std::string bytes = Attachment(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    TMimeMessage m;
    m.Header.CharsetCode = ISO_2022_JP;
    m.Header.Priority = MP_high;
    m.Header.From = "cam@example.com";
    m.Header.ToList = {"owner@example.com"};
    m.Header.Subject = "\x1B$B0[>oF0BN8!=P\x1B(B(09:05:03)-";
    TMimePart* root = m.AddPartMultipart("", nullptr);
    m.AddPartText({"異常動体を検出しました。", "検出時刻[09:05:03]", "検出画像を添付します",
                   "防犯カメラ・ヴァルド"}, root);
    m.AddPartBinary(bytes, "recept.jpg", root);
    m.EncodeMessage();
    benchmark::DoNotOptimize(m.Lines);
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

} // namespace

BENCHMARK(BM_PlainBase64)->Arg(300 * 1024)->Arg(3 * 1024 * 1024)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ComposeMail)->Arg(300 * 1024)->Arg(3 * 1024 * 1024)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
