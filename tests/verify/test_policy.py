"""quorvel_verify.Policy: each rule fails exactly its own check; a malformed policy file is refused with its line."""

from __future__ import annotations

import time

import pytest

from amd_test_pki import DATA
from report_builder import POLICY, put

from quorvel_verify import Policy, PolicyError, Report

EXAMPLE_POLICY = DATA.parents[1] / "examples" / "policy.toml"


def genuine(name: str, set_policy_bits: int = 0) -> Report:
    """A genuine report, with bits added to its guest policy (the policy's checks do not look at the signature)."""
    raw = bytearray((DATA / f"{name}.bin").read_bytes())
    policy = int.from_bytes(raw[POLICY:POLICY + 8], "little") | set_policy_bits
    return Report.from_bytes(bytes(put(raw, POLICY, policy.to_bytes(8, "little"))))


def holding(report: Report) -> dict[str, object]:
    """A policy that sets every rule to what `report` holds, so that the report meets each one."""
    tcbs = [report.current_tcb.components(), report.reported_tcb.components(), report.committed_tcb.components()]
    guest = report.guest_policy
    return {
        "allow_debug": guest.debug_allowed,
        "vmpl": [report.vmpl],
        "min_tcb": {name: min(tcb[name] for tcb in tcbs) for name in tcbs[0]},
        "min_launch_tcb": report.launch_tcb.components(),
        "allow_provisional_firmware": tcbs[0] != tcbs[2],
        "measurements": [report.measurement.hex()],
        "host_data": [report.host_data.hex()],
        "report_data": report.report_data.hex(),
        "id_key_digests": [report.id_key_digest.hex()],
        "min_guest_svn": report.guest_svn,
        "min_abi": f"{guest.abi_major}.{guest.abi_minor}",
        "products": [report.product or "Milan"],
        "key_kinds": [report.key_kind],
        "allow_smt": guest.smt_allowed,
        "allow_migration_agent": guest.migrate_ma_allowed,
        "require_single_socket": guest.single_socket,
        "allow_cxl": guest.cxl_allowed,
        "require_aes_256_xts": guest.mem_aes_256_xts,
        "require_rapl_disabled": guest.rapl_disabled,
        "require_ciphertext_hiding": guest.ciphertext_hiding,
        "require_page_swap_disabled": guest.page_swap_disabled,
    }


MSTEE = "reports-more/milan-v3-mstee"
MSTEE_MEASUREMENT = "expected measurement one of 2 allowed values; report has "
VLEK = "reports-more/milan-v3-trustee-vlek"  # current, reported and committed TCB differ
TURIN = "reports-more/turin-v5-mstee"


@pytest.mark.parametrize(("report", "bits", "rules", "failing", "detail"), [
    ("reports/milan-v2-gosevguest", 0, {"allow_debug": False}, "allow_debug",
     "expected a guest policy that forbids debugging; report has guest policy 0xb0000, which allows it"),
    (MSTEE, 0, {"vmpl": [1, 2]}, "vmpl", "expected VMPL 1 or 2; report has VMPL 0"),
    # Current 220 and committed 219 meet 218; the reported 217 does not.
    (VLEK, 0, {"min_tcb": {"microcode": 218, "snp": 24}}, "min_tcb",
     "expected at least snp=24 microcode=218 in the current, reported and committed TCB; report has "
     "current snp=24 microcode=220, reported snp=24 microcode=217, committed snp=24 microcode=219; behind: reported "
     "microcode is 217, needs 218"),
    (TURIN, 0, {"min_tcb": {"fmc": 2}}, "min_tcb",
     "expected at least fmc=2 in the current, reported and committed TCB; report has current fmc=1, "
     "reported fmc=1, committed fmc=1; behind: current fmc is 1, needs 2; reported fmc is 1, needs 2; committed fmc "
     "is 1, needs 2"),
    # Patch levels are numbered per product line: a Turin report meets no minimum made for Milan and Genoa.
    (TURIN, 0, {"min_tcb": {"Milan": {"snp": 1}, "Genoa": {"snp": 1}}}, "min_tcb",
     "expected a product line with a minimum for the current, reported and committed TCB: Milan or Genoa; "
     "report is from Turin"),
    (VLEK, 0, {"min_launch_tcb": {"microcode": 220}}, "min_launch_tcb",
     "expected at least microcode=220 in the launch TCB; report has launch microcode=219; behind: launch microcode "
     "is 219, needs 220"),
    (VLEK, 0, {"allow_provisional_firmware": False}, "allow_provisional_firmware",
     "expected the committed TCB and firmware to be the current ones; report has current TCB bootloader=4 tee=0 "
     "snp=24 microcode=220 firmware 1.55.29, committed TCB bootloader=4 tee=0 snp=24 microcode=219 firmware 1.55.29"),
    (MSTEE, 0, {"measurements": ["00" * 48, "AB" * 48]}, "measurements", MSTEE_MEASUREMENT + "5feee30d6d7e1a29"
     "f403d70a4198237ddfb13051a2d6976439487c609388ed7f98189887920ab2fa0096903a0c23fca1"),
    (MSTEE, 0, {"host_data": ["01" * 32]}, "host_data",
     "expected host data " + "01" * 32 + "; report has 4f4448c67f3c8dfc8de8a5e37125d807dadcc41f06cf23f615dbd52eec777d10"),
    (MSTEE, 0, {"report_data": "01" * 64}, "report_data",
     "expected report data " + "01" * 64 + "; report has " + "00" * 64),
    (MSTEE, 0, {"id_key_digests": ["00" * 48]}, "id_key_digests", "expected ID key digest " + "00" * 48 +
     "; report has 0ad79ceb0b648b0e6a90d8aa9f6ea24c33a968b6632085353145e8b19a4741a2dab9ba342e13be4fc0d225e889cc1a58"),
    # A report without an author key carries a zero digest, which matches nothing.
    (MSTEE, 0, {"author_key_digests": ["00" * 48]}, "author_key_digests",
     "expected author key digest " + "00" * 48 + "; report has no author key"),
    (MSTEE, 0, {"min_guest_svn": 3}, "min_guest_svn", "expected guest SVN at least 3; report has 2"),
    (MSTEE, 0, {"min_abi": "0.32"}, "min_abi",
     "expected a guest policy requiring ABI 0.32 or later; report has ABI 0.31"),
    (MSTEE, 0, {"products": ["Genoa", "Turin"]}, "products", "expected product line Genoa or Turin; report is from Milan"),
    (VLEK, 0, {"key_kinds": ["VCEK"]}, "key_kinds", "expected a report signed by a VCEK; report is signed by a VLEK"),
    (MSTEE, 0, {"allow_smt": False}, "allow_smt",
     "expected SMT clear in the guest policy; report has guest policy 0x3001f, which sets it"),
    (MSTEE, 1 << 18, {"allow_migration_agent": False}, "allow_migration_agent",
     "expected MIGRATE_MA clear in the guest policy; report has guest policy 0x7001f, which sets it"),
    (MSTEE, 0, {"require_single_socket": True}, "require_single_socket",
     "expected SINGLE_SOCKET set in the guest policy; report has guest policy 0x3001f, which clears it"),
    (MSTEE, 1 << 21, {"allow_cxl": False}, "allow_cxl",
     "expected CXL_ALLOW clear in the guest policy; report has guest policy 0x23001f, which sets it"),
    (MSTEE, 0, {"require_aes_256_xts": True}, "require_aes_256_xts",
     "expected MEM_AES_256_XTS set in the guest policy; report has guest policy 0x3001f, which clears it"),
    (MSTEE, 1 << 22 | 1 << 24 | 1 << 25, {"require_rapl_disabled": True}, "require_rapl_disabled",
     "expected RAPL_DIS set in the guest policy; report has guest policy 0x343001f, which clears it"),
    (MSTEE, 1 << 23 | 1 << 25, {"require_ciphertext_hiding": True}, "require_ciphertext_hiding",
     "expected CIPHERTEXT_HIDING set in the guest policy; report has guest policy 0x283001f, which clears it"),
    (MSTEE, 1 << 24, {"require_page_swap_disabled": True}, "require_page_swap_disabled",
     "expected PAGE_SWAP_DISABLE set in the guest policy; report has guest policy 0x103001f, which clears it"),
])
def test_each_rule_fails_its_own_check(report, bits, rules, failing, detail):
    subject = genuine(report, bits)
    mapping = holding(subject) | rules
    checks = Policy.from_mapping(mapping).evaluate(subject, product=subject.product or "Milan", key_kind=subject.key_kind)
    applied = [rule for rule in Policy.rules() if rule in mapping]
    assert [(c.name, c.result) for c in checks] == [
        (f"policy.{rule}", "fail" if rule == failing else "pass") for rule in applied
    ]
    assert next(c.detail for c in checks if c.failed) == detail


@pytest.mark.parametrize(("read", "made"), [
    # A file that sets no rule reads as the policy made with none.
    (lambda: Policy.from_toml(""), Policy()),
    (lambda: Policy.load(EXAMPLE_POLICY), Policy(
        allow_debug=False, vmpl=(0,), products=("Milan", "Genoa", "Turin"), key_kinds=("VCEK", "VLEK"),
        allow_migration_agent=False, min_tcb={
            "Milan": {"bootloader": 3, "tee": 0, "snp": 8, "microcode": 115},
            "Genoa": {"bootloader": 7, "tee": 0, "snp": 15, "microcode": 62},
            "Turin": {"fmc": 0, "bootloader": 1, "tee": 0, "snp": 2, "microcode": 71},
        }, min_launch_tcb={"snp": 2},
    )),
], ids=["empty", "example"])
def test_policy_file_reads_as_the_same_policy_made_in_code(read, made):
    assert read() == made


@pytest.mark.parametrize(("text", "message"), [
    ('allow_debug = false\nallow_degub = true', "p.toml:2: allow_degub: unknown rule (did you mean allow_debug?)"),
    ("[min_tcb]\nsnp = 1\n\nfmcc = 2", "p.toml:4: min_tcb.fmcc: unknown TCB component; expected fmc, bootloader, "
                                        "tee, snp, microcode, or a table per product line"),
    ("[min_tcb.Milan]\nsnp = 1\n[min_tcb.Genoa]\nsnp = -1",
     "p.toml:4: min_tcb.Genoa.snp: expected an integer from 0 to 255, got the integer -1"),
    # A minimum no report of the line can be judged by is a mistake, not a rule that always passes.
    ("[min_tcb.Turin]\nfmc = 1\n[min_tcb.Genoa]\nsnp = 1\nfmc = 1",
     "p.toml:5: min_tcb.Genoa.fmc: Genoa has no FMC (Turin alone has one)"),
    ("[colours]\nred = 1", "p.toml:1: colours: unknown rule"),
    # A rule of the other platform's place: where it belongs, not a near name.
    ('rtmr0 = ["00"]', "p.toml:1: rtmr0: unknown rule at the top level: a TDX rule, which goes in the [tdx] table"),
    ("[tdx]\nallow_debug = false\nvmpl = [0]", "p.toml:3: tdx.vmpl: unknown rule in [tdx]: a top-level key, which "
                                               "goes above the [tdx] line (every key below it is in the table)"),
    ('tpm_nonce = "challenge"', "p.toml:1: tpm_nonce: unknown rule at the top level: an Azure rule, which goes in "
                                "the [azure] table"),
    ('[azure]\ntpm_nonce = "hex:6368x"', "p.toml:2: azure.tpm_nonce: after hex:, expected an even number of hex digits"),
    ('[azure]\nrequire_tpm_quote = true\n[azure.pcrs]\n32 = ["00"]',
     "p.toml:4: azure.pcrs.32: expected a PCR index from 0 to 31 as the key, got '32'"),
    ('[tdx]\nmax_collateral_age = "30 days"', 'p.toml:2: tdx.max_collateral_age: expected a span of time such as '
                                               '"30d" or "12h", or a number of days, got the string "30 days"'),
    # A grace period for a status that tcb_statuses refuses anyway would do nothing.
    ('[tdx]\nout_of_date_grace = "7d"', 'p.toml:2: tdx.out_of_date_grace: bounds how long OutOfDate is accepted, '
     'which tcb_statuses does not accept: add "OutOfDate" (or "OutOfDateConfigurationNeeded") to tcb_statuses'),
    ("allow_debug = 1", "p.toml:1: allow_debug: expected true or false, got the integer 1"),
    ("min_guest_svn = true", "p.toml:1: min_guest_svn: expected an integer from 0 to 4294967295, got the boolean true"),
    ('min_tcb.snp = "22"', 'p.toml:1: min_tcb.snp: expected an integer from 0 to 255, got the string "22"'),
    ("min_tcb = { snp = 256 }", "p.toml:1: min_tcb.snp: expected an integer from 0 to 255, got the integer 256"),
    ("min_tcb = {}", "p.toml:1: min_tcb: expected at least one of fmc, bootloader, tee, snp, microcode"),
    ("vmpl = 0", "p.toml:1: vmpl: expected an array, got the integer 0"),
    ("vmpl = [0, 4]", "p.toml:1: vmpl[1]: expected an integer from 0 to 3, got the integer 4"),
    ("products = []", "p.toml:1: products: expected at least one value: an empty list allows nothing"),
    ('products = ["milan"]', 'p.toml:1: products[0]: expected one of Milan, Genoa, Turin, got the string "milan"'),
    (f'measurements = [\n  "{"00" * 48}",\n  "{"0" * 95}",\n]',
     "p.toml:3: measurements[1]: expected 96 hex digits (48 bytes), got 95"),
    (f'host_data = ["0x{"00" * 31}"]',
     "p.toml:1: host_data[0]: expected 64 hex digits, got a string of 64 characters, which is not hex: leave out the 0x"),
    ('report_data = "zz"', 'p.toml:1: report_data: expected 128 hex digits, got the string "zz", which is not hex'),
    # The top-level report_data judges TDX quotes too: another one in [tdx] would leave one of the two unjudged.
    (f'report_data = "{"01" * 64}"\n[tdx]\nreport_data = "{"02" * 64}"', "p.toml:3: tdx.report_data: differs from the "
     "top-level report_data, which judges TDX quotes too; set one"),
    ("id_key_digests = " + "00" * 48, "p.toml:1: not valid TOML: Expected newline or end of document after a statement"),
    ('min_abi = "1"', 'p.toml:1: min_abi: expected "major.minor", each 0 to 255, got the string "1"'),
    ("min_abi = 1.51", 'p.toml:1: min_abi: expected "major.minor", each 0 to 255, got the float 1.51'),
    ("# rules\nvmpl = [0", "p.toml:2: not valid TOML: Unclosed array"),
    # Digits of other scripts are digits to Python, not to a policy.
    ('min_abi = "\u0661.\u0665\u0661"', 'p.toml:1: min_abi: expected "major.minor", each 0 to 255, got the string '
                                     '"\u0661.\u0665\u0661"'),
    ('report_data = """\nvmpls = 3\n"""\nvmpls = [9]', "p.toml:4: vmpls: unknown rule (did you mean vmpl?)"),
    # A line of blanks in an array: its line is found in linear time.
    ("measurements = [\n" + " " * 3000 + "\n]\nvmpls = 1", "p.toml:4: vmpls: unknown rule (did you mean vmpl?)"),
])
def test_malformed_policy_file_is_refused_with_its_line(text, message):
    start = time.perf_counter()
    with pytest.raises(PolicyError) as refused:
        Policy.from_toml(text, "p.toml")
    assert (str(refused.value), time.perf_counter() - start < 1) == (message, True)
