"""quorvel_verify.Report: each field of genuine reports as their sources state it."""

from __future__ import annotations

from collections.abc import Callable

import pytest
from amd_test_pki import DATA

from quorvel_verify import Report, TcbVersion

# Names the sources give the bits, and the attributes that hold them.
BIT_NAMES = {
    "SMT": "smt_allowed", "MIGRATE_MA": "migrate_ma_allowed", "DEBUG": "debug_allowed",
    "SINGLE_SOCKET": "single_socket", "PAGE_SWAP_DISABLE": "page_swap_disabled",
    "SMT_EN": "smt_enabled", "TSME_EN": "tsme_enabled", "ECC_EN": "ecc_enabled",
    "ALIAS_CHECK_COMPLETE": "alias_check_complete",
}


def named_bits(record: object) -> str:
    return " ".join(name for name, attribute in BIT_NAMES.items() if getattr(record, attribute, False))


def tcb(version: TcbVersion) -> str:
    return version.raw.to_bytes(8, "little").hex() + f" [{version}]"


def hex_set(data: bytes) -> str:
    """What the sources say of a byte field: all one value, or non-zero."""
    return f"all {data[0]:#04x}" if len(set(data)) == 1 else "mixed"


# What the sources' documents state of each field, read from the Report.
FACTS: dict[str, Callable[[Report], object]] = {
    "policy": lambda r: (hex(r.guest_policy.raw), r.guest_policy.abi, named_bits(r.guest_policy)),
    "plat_info": lambda r: (hex(r.platform_info.raw), named_bits(r.platform_info)),
    "flags": lambda r: (r.key_info, r.signing_key, r.key_kind, r.author_key_en, r.mask_chip_key),
    "version": lambda r: r.version,
    "vmpl": lambda r: r.vmpl,
    "guest_svn": lambda r: r.guest_svn,
    "reported_tcb": lambda r: tcb(r.reported_tcb),
    "reported_u64": lambda r: hex(r.reported_tcb.raw),
    "current_tcb": lambda r: tcb(r.current_tcb),
    "committed_tcb": lambda r: tcb(r.committed_tcb),
    "launch_tcb": lambda r: tcb(r.launch_tcb),
    "fw": lambda r: str(r.current_firmware),
    "cpuid": lambda r: r.cpuid and (hex(r.cpuid.family), hex(r.cpuid.model), hex(r.cpuid.stepping)),
    "product": lambda r: (r.product, r.turin),
    "mit": lambda r: (r.launch_mit_vector, r.current_mit_vector),
    "chip_id": lambda r: (hex_set(r.chip_id[8:]), r.mask_chip_id),
    "chip_id_start": lambda r: r.chip_id[:8].hex(),
    "report_data": lambda r: hex_set(r.report_data),
    "report_data_start": lambda r: r.report_data[:17],
    "report_id_ma": lambda r: hex_set(r.report_id_ma),
}
VCEK = (0, 0, "VCEK", False, False)
VLEK = (4, 1, "VLEK", False, False)
ABI_0_31 = ("0x3001f", (0, 31), "SMT")
ABI_0_0 = ("0x30000", (0, 0), "SMT")
MILAN = (("0x19", "0x1", "0x1"), ("Milan", False))
V2 = (None, (None, False))
NO_MIT = (None, None)
NOT_ZERO = ("mixed", False)
ALL_FF = "all 0xff"
# What the sources state of two reports each of one guest (the older Automata one at VMPL 1).
GCP_VMPL1 = dict(
    policy=ABI_0_0, plat_info=("0x25", "SMT_EN ECC_EN ALIAS_CHECK_COMPLETE"), flags=VCEK, vmpl=1,
    reported_tcb="0400000000001bde [bootloader=4 tee=0 snp=27 microcode=222]", fw="1.55.35",
    cpuid=MILAN[0], product=MILAN[1], mit=(0xB, 0xB), report_id_ma=ALL_FF)
AUTOMATA = dict(
    policy=ABI_0_0, plat_info=("0x1", "SMT_EN"), flags=VCEK, vmpl=0,
    reported_tcb="03000000000016d1 [bootloader=3 tee=0 snp=22 microcode=209]", fw="1.55.20",
    cpuid=V2[0], product=V2[1], mit=NO_MIT, report_id_ma=ALL_FF)
AZURE_V3 = dict(
    policy=ABI_0_31, plat_info=("0x25", "SMT_EN ECC_EN ALIAS_CHECK_COMPLETE"), flags=VCEK, vmpl=0,
    guest_svn=10, reported_tcb="04000000000018db [bootloader=4 tee=0 snp=24 microcode=219]", fw="1.55.29",
    cpuid=MILAN[0], product=MILAN[1], mit=NO_MIT, report_id_ma=ALL_FF)

# The SOURCES.md of tests/data/reports-more, reports and collateral. In
# reports-more, a TCB field not listed equals the reported TCB.
STATED = {
    "reports-more/turin-v5-mstee": dict(
        policy=ABI_0_31, plat_info=("0x65", "SMT_EN ECC_EN ALIAS_CHECK_COMPLETE"), flags=VCEK, vmpl=0, guest_svn=2,
        reported_tcb="0101010400000051 [fmc=1 bootloader=1 tee=1 snp=4 microcode=81]", fw="1.55.65",
        cpuid=("0x1a", "0x2", "0x1"), product=("Turin", True), mit=(0x3F, 0x3F), report_data="all 0x00",
        report_id_ma=ALL_FF),
    "reports-more/genoa-v3-mstee": dict(
        policy=ABI_0_31, plat_info=("0x27", "SMT_EN TSME_EN ECC_EN ALIAS_CHECK_COMPLETE"), flags=VCEK, vmpl=0,
        guest_svn=2, reported_tcb="0a00000000001754 [bootloader=10 tee=0 snp=23 microcode=84]", fw="1.55.40",
        cpuid=("0x19", "0x11", "0x1"), product=("Genoa", False), mit=NO_MIT, report_data="all 0x00",
        report_id_ma=ALL_FF),
    "reports-more/genoa-v3-trustee-e2e-m0xa0": dict(
        policy=ABI_0_0, plat_info=("0x25", "SMT_EN ECC_EN ALIAS_CHECK_COMPLETE"), flags=VCEK, vmpl=0,
        reported_tcb="0a00000000001719 [bootloader=10 tee=0 snp=23 microcode=25]", fw="1.55.40",
        cpuid=("0x19", "0xa0", "0x2"), product=("Genoa", False), mit=NO_MIT, report_id_ma=ALL_FF),
    "reports-more/milan-v3-mstee": dict(
        policy=ABI_0_31, plat_info=("0x25", "SMT_EN ECC_EN ALIAS_CHECK_COMPLETE"), flags=VCEK, vmpl=0, guest_svn=2,
        reported_tcb="04000000000018db [bootloader=4 tee=0 snp=24 microcode=219]", fw="1.55.29",
        cpuid=MILAN[0], product=MILAN[1], mit=NO_MIT, report_data="all 0x00", report_id_ma=ALL_FF),
    "reports-more/milan-v5-verdifax-vlek": dict(
        policy=("0x2030000", (0, 0), "SMT PAGE_SWAP_DISABLE"),
        plat_info=("0x27", "SMT_EN TSME_EN ECC_EN ALIAS_CHECK_COMPLETE"), flags=VLEK, vmpl=1,
        reported_tcb="0400000000001dde [bootloader=4 tee=0 snp=29 microcode=222]", fw="1.58.1",
        cpuid=MILAN[0], product=MILAN[1], mit=(0xF, 0xF), chip_id=("all 0x00", True), report_id_ma=ALL_FF),
    "reports-more/milan-v3-trustee-vlek": dict(
        policy=ABI_0_0, plat_info=("0x27", "SMT_EN TSME_EN ECC_EN ALIAS_CHECK_COMPLETE"), flags=VLEK, vmpl=1,
        reported_tcb="04000000000018d9 [bootloader=4 tee=0 snp=24 microcode=217]",
        current_tcb="04000000000018dc [bootloader=4 tee=0 snp=24 microcode=220]",
        committed_tcb="04000000000018db [bootloader=4 tee=0 snp=24 microcode=219]",
        launch_tcb="04000000000018db [bootloader=4 tee=0 snp=24 microcode=219]", fw="1.55.29",
        cpuid=MILAN[0], product=MILAN[1], mit=NO_MIT, chip_id=("all 0x00", True), report_id_ma=ALL_FF),
    "reports-more/milan-v5-teekit-gcp": dict(
        policy=ABI_0_0, plat_info=("0x25", "SMT_EN ECC_EN ALIAS_CHECK_COMPLETE"), flags=VCEK, vmpl=0,
        reported_tcb="0400000000001bde [bootloader=4 tee=0 snp=27 microcode=222]", fw="1.55.35",
        cpuid=MILAN[0], product=MILAN[1], mit=(0xB, 0xB), chip_id=NOT_ZERO, report_data="all 0x00",
        report_id_ma=ALL_FF),
    "reports-more/milan-v5-teekit-gcp-vmpl1": GCP_VMPL1,
    "reports-more/milan-v5-teekit-gcp-x25519": GCP_VMPL1,
    "reports-more/milan-v3-attrs-azure-live": AZURE_V3,
    "reports-more/milan-v3-attrs-azure-2": AZURE_V3,
    "reports-more/milan-v2-attrs-azure": dict(
        policy=ABI_0_31, plat_info=("0x1", "SMT_EN"), flags=VCEK, vmpl=0, guest_svn=5,
        reported_tcb="0300000000000873 [bootloader=3 tee=0 snp=8 microcode=115]",
        current_tcb="03000000000008d2 [bootloader=3 tee=0 snp=8 microcode=210]", fw="1.52.4",
        cpuid=V2[0], product=V2[1], mit=NO_MIT, report_id_ma=ALL_FF),
    "reports-more/milan-v2-trustee": dict(
        policy=ABI_0_31, plat_info=("0x1", "SMT_EN"), flags=VCEK, vmpl=0, guest_svn=4,
        reported_tcb="0300000000000873 [bootloader=3 tee=0 snp=8 microcode=115]",
        current_tcb="03000000000008ce [bootloader=3 tee=0 snp=8 microcode=206]", fw="1.52.4",
        cpuid=V2[0], product=V2[1], mit=NO_MIT, report_id_ma=ALL_FF),
    "reports-more/milan-v2-automata": AUTOMATA,
    "reports-more/milan-v2-automata-old-vmpl1": AUTOMATA | {"vmpl": 1},
    "reports-more/milan-v2-cmc": dict(
        policy=ABI_0_0, plat_info=("0x1", "SMT_EN"), flags=VCEK, vmpl=0,
        reported_tcb="0200000000000643 [bootloader=2 tee=0 snp=6 microcode=67]", fw="1.51.3",
        cpuid=V2[0], product=V2[1], mit=NO_MIT, report_data="all 0x23", report_id_ma=ALL_FF),
    "reports/milan-v2-gosevguest": dict(
        policy=("0xb0000", (0, 0), "SMT DEBUG"), reported_tcb="0200000000000544 [bootloader=2 tee=0 snp=5 microcode=68]",
        fw="1.49.3", cpuid=V2[0], product=V2[1], mit=NO_MIT),
    "reports/milan-v3-azure": dict(policy=ABI_0_31, cpuid=MILAN[0], product=MILAN[1], mit=NO_MIT),
    "reports/milan-v3-oak": dict(policy=ABI_0_0, cpuid=MILAN[0], product=MILAN[1]),
    "reports/genoa-v2-oak": dict(
        reported_tcb="0700000000000f3e [bootloader=7 tee=0 snp=15 microcode=62]",
        fw="1.55.24", cpuid=V2[0], product=V2[1]),
    "reports/genoa-v3-azure": dict(plat_info=("0x24", "ECC_EN ALIAS_CHECK_COMPLETE"), cpuid=("0x19", "0x11", "0x1")),
    "reports/genoa-v5-oak": dict(cpuid=("0x19", "0x11", "0x1"), mit=(1, 1)),
    "reports/genoa-v5-routex": dict(cpuid=("0x19", "0x11", "0x1"), mit=(0xB, 0xB)),
    "reports/turin-v5-oak": dict(
        reported_tcb="0001000200000047 [fmc=0 bootloader=1 tee=0 snp=2 microcode=71]",
        plat_info=("0x67", "SMT_EN TSME_EN ECC_EN ALIAS_CHECK_COMPLETE"), cpuid=("0x1a", "0x2", "0x1"),
        chip_id=("all 0x00", False), product=("Turin", True)),
    "collateral/report-v4-milan-gce.openpcc.UNVERIFIED": dict(
        version=4, cpuid=MILAN[0], fw="1.55.31", policy=ABI_0_0, plat_info=("0x25", "SMT_EN ECC_EN ALIAS_CHECK_COMPLETE"),
        vmpl=0, reported_tcb="04000000000019db [bootloader=4 tee=0 snp=25 microcode=219]",
        current_tcb="04000000000019db [bootloader=4 tee=0 snp=25 microcode=219]",
        launch_tcb="04000000000019db [bootloader=4 tee=0 snp=25 microcode=219]", chip_id_start="12d937a2e0fa6469",
        mit=NO_MIT),
    "collateral/azure-thim-milan.report-v2": dict(version=2, reported_u64="0x7308000000000003", fw="1.52.4", cpuid=None),
    "collateral/certtable-genoa-v3.veraison.report": dict(
        version=3, fw="1.55.40", vmpl=0, report_data_start=b"MIDBNH28iioisjPyx"),
    "collateral/certtable-milan-v3.evcli.report": dict(version=3, fw="1.55.29"),
}


@pytest.mark.parametrize("name", STATED)
def test_fields_as_the_sources_state_them(name):
    report = Report.from_bytes((DATA / f"{name}.bin").read_bytes())
    stated = dict(STATED[name])
    for field in ("current_tcb", "committed_tcb", "launch_tcb"):
        if name.startswith("reports-more/"):
            stated.setdefault(field, stated["reported_tcb"])
    assert {fact: FACTS[fact](report) for fact in stated} == stated
