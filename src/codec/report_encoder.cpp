#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "codec/attestation_report.hpp"

namespace quorvel {
namespace {

constexpr std::size_t kSignatureEnd = 0x330;

// Writes the report front to back, in layout order, straight into the
// encoding that to_bytes returns, which starts out all zero. Appending each
// field to a growing vector and copying the result out cost several times the
// rest of the encoding; here every write is a bounds test and a store.
//
// The writer keeps the count of bytes written as a vector keeps its size: a
// write that would run past the end is counted but not stored, so that the
// count can be checked against the report size at the end just as well.
class ReportWriter {
 public:
  explicit ReportWriter(EncodedReport& out) noexcept : out_(out) {}

  std::size_t length() const noexcept { return length_; }

  template <typename T>
  void put_le(T value) noexcept {
    std::uint8_t* at = claim(sizeof(T));
    if (at == nullptr) return;
    for (std::size_t i = 0; i < sizeof(T); ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
  }
  void put(const std::uint8_t* bytes, std::size_t n) noexcept {
    std::uint8_t* at = claim(n);
    if (at != nullptr) std::memcpy(at, bytes, n);
  }
  template <std::size_t N>
  void put(const std::array<std::uint8_t, N>& bytes) noexcept {
    put(bytes.data(), N);
  }
  // The encoding is zero already.
  void put_zeros(std::size_t n) noexcept { claim(n); }
  void put_firmware(const FirmwareVersion& firmware) noexcept {
    put(std::array<std::uint8_t, 4>{firmware.build, firmware.minor, firmware.major, 0});
  }
  void put_tcb(const TcbVersion& tcb, bool turin) noexcept { put(tcb.encode_layout(turin)); }

 private:
  // Where the next n bytes go, or null when they do not all fit.
  std::uint8_t* claim(std::size_t n) noexcept {
    const std::size_t at = length_;
    length_ += n;
    return n > out_.size() - (at < out_.size() ? at : out_.size()) ? nullptr : out_.data() + at;
  }

  EncodedReport& out_;
  std::size_t length_ = 0;
};

CodecError size_mismatch(std::size_t actual) {
  std::string text = "encoded size mismatch: expected ";
  text += std::to_string(kReportSize);
  text += " bytes, got ";
  text += std::to_string(actual);
  return CodecError::with_text(ErrorKind::InvalidData, text);
}

// The body of to_bytes: fills `out` (all zero on entry) and checks its size.
CodecResult<Unit> encode(const AttestationReport& report, ProcessorGeneration gen, EncodedReport& out) {
  // The TCB fields are written below rather than by TcbVersion::write_bytes,
  // whose growing vector would cost an allocation, and a call for each of the
  // four; the layouts are the same. A generation outside the three members
  // fails with write_bytes's own error, here: nothing written before a
  // failure is ever seen, so failing here is failing at the first TCB field.
  if (!gen.is_known()) {
    std::vector<std::uint8_t> unused;
    QUORVEL_TRY(report.current_tcb.write_bytes(unused, gen));
  }
  const bool turin = gen == ProcessorGeneration::Turin;
  ReportWriter w(out);
  w.put_le(report.version);
  w.put_le(report.guest_svn);
  w.put_le(report.policy);
  w.put(report.family_id);
  w.put(report.image_id);
  w.put_le(report.vmpl);
  w.put_le(report.sig_algo);
  w.put_tcb(report.current_tcb, turin);
  w.put_le(report.plat_info);
  w.put_le(report.key_info);
  w.put_zeros(4);
  w.put(report.report_data);
  w.put(report.measurement);
  w.put(report.host_data);
  w.put(report.id_key_digest);
  w.put(report.author_key_digest);
  w.put(report.report_id);
  w.put(report.report_id_ma);
  w.put_tcb(report.reported_tcb, turin);
  if (report.version >= kFirstCpuidVersion) {
    w.put_le(report.cpuid_fam_id.value_or(0));
    w.put_le(report.cpuid_mod_id.value_or(0));
    w.put_le(report.cpuid_step.value_or(0));
    w.put_zeros(21);
  } else {
    w.put_zeros(24);
  }
  w.put(report.chip_id);
  w.put_tcb(report.committed_tcb, turin);
  w.put_firmware(report.current);
  w.put_firmware(report.committed);
  w.put_tcb(report.launch_tcb, turin);
  if (report.version >= kFirstMitVectorVersion) {
    w.put_le(report.launch_mit_vector.value_or(0));
    w.put_le(report.current_mit_vector.value_or(0));
    w.put_zeros(152);
  } else {
    w.put_zeros(168);
  }
  w.put(report.signature.r);
  w.put(report.signature.s);
  w.put_zeros(kReportSize - kSignatureEnd);

  if (w.length() != kReportSize) return size_mismatch(w.length());
  return Unit{};
}

}  // namespace

CodecResult<EncodedReport> AttestationReport::to_bytes() const {
  // Every return below returns `result`, so that it is built in the caller's
  // place instead of being copied there.
  CodecResult<EncodedReport> result{EncodedReport{}};
  auto gen = generation();
  if (!gen.ok()) {
    result = std::move(gen).error();
  } else if (auto written = encode(*this, gen.value(), result.value()); !written.ok()) {
    result = std::move(written).error();
  }
  return result;
}

}  // namespace quorvel
