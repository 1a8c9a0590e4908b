#include <algorithm>
#include <string>
#include <vector>

#include "codec/attestation_report.hpp"

namespace quorvel {
namespace {

constexpr std::uint32_t kFirstCpuidVersion = 3;
constexpr std::uint32_t kFirstMitVectorVersion = 5;

// Appends fields to the working vector in report order.
class ReportWriter {
 public:
  explicit ReportWriter(std::vector<std::uint8_t>& out) noexcept : out_(out) {}

  template <typename T>
  void put_le(T value) {
    for (std::size_t i = 0; i < sizeof(T); ++i) out_.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
  }
  template <std::size_t N>
  void put(const std::array<std::uint8_t, N>& bytes) {
    out_.insert(out_.end(), bytes.begin(), bytes.end());
  }
  void put_zeros(std::size_t n) { out_.insert(out_.end(), n, 0); }
  void put_firmware(const FirmwareVersion& firmware) {
    out_.insert(out_.end(), {firmware.build, firmware.minor, firmware.major, 0});
  }

 private:
  std::vector<std::uint8_t>& out_;
};

CodecError size_mismatch(std::size_t actual) {
  std::string text = "encoded size mismatch: expected ";
  text += std::to_string(kReportSize);
  text += " bytes, got ";
  text += std::to_string(actual);
  return CodecError::with_text(ErrorKind::InvalidData, text);
}

}  // namespace

CodecResult<EncodedReport> AttestationReport::to_bytes() const {
  QUORVEL_TRY_ASSIGN(gen, generation());

  std::vector<std::uint8_t> out;
  // One allocation of the final size; the writes below then never reallocate.
  out.reserve(kReportSize);
  ReportWriter w(out);
  w.put_le(version);
  w.put_le(guest_svn);
  w.put_le(policy);
  w.put(family_id);
  w.put(image_id);
  w.put_le(vmpl);
  w.put_le(sig_algo);
  QUORVEL_TRY(current_tcb.write_bytes(out, gen));
  w.put_le(plat_info);
  w.put_le(key_info);
  w.put_zeros(4);
  w.put(report_data);
  w.put(measurement);
  w.put(host_data);
  w.put(id_key_digest);
  w.put(author_key_digest);
  w.put(report_id);
  w.put(report_id_ma);
  QUORVEL_TRY(reported_tcb.write_bytes(out, gen));
  if (version >= kFirstCpuidVersion) {
    w.put_le(cpuid_fam_id.value_or(0));
    w.put_le(cpuid_mod_id.value_or(0));
    w.put_le(cpuid_step.value_or(0));
    w.put_zeros(21);
  } else {
    w.put_zeros(24);
  }
  w.put(chip_id);
  QUORVEL_TRY(committed_tcb.write_bytes(out, gen));
  w.put_firmware(current);
  w.put_firmware(committed);
  QUORVEL_TRY(launch_tcb.write_bytes(out, gen));
  if (version >= kFirstMitVectorVersion) {
    w.put_le(launch_mit_vector.value_or(0));
    w.put_le(current_mit_vector.value_or(0));
    w.put_zeros(152);
  } else {
    w.put_zeros(168);
  }
  w.put(signature.r);
  w.put(signature.s);
  w.put_zeros(kReportSize - 0x330);

  if (out.size() != kReportSize) return size_mismatch(out.size());
  EncodedReport encoded;
  std::copy(out.begin(), out.end(), encoded.begin());
  return encoded;
}

}  // namespace quorvel
