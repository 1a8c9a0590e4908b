"""Every bound the verifier puts on what it is given: sizes, counts and time, each with the reason for its figure.

The report, its certificates and its revocation list come from the party the
verifier judges, and the key service's answers cross a network: none of them
may decide how much memory or time a verification takes. Each input is read
against its cap before it is parsed, and refused with the figure named; the
figures are generous multiples of the largest genuine input, so that no
genuine evidence comes near them.
"""

from __future__ import annotations

from typing import Final

KIB: Final = 1 << 10
MIB: Final = 1 << 20

# A report is 1184 bytes. The reader also names the usual mistakes, which
# are larger: the report as hex or base64 text, the firmware's 4000-byte
# response, or the report followed by its certificate table. Anything larger
# than a report with the largest table is none of those.
REPORT_FILE_SIZE: Final = 1184 + 256 * KIB

# A VCEK is about 1.4 KB of DER, AMD's intermediates and roots about 1.6 KB
# (2.2 KB as PEM). A bundle holds the leaf and its chain, or for pinning
# every chain of every product line and key kind: 12 certificates.
CERTIFICATE_FILE_SIZE: Final = 256 * KIB
CERTIFICATES_PER_BUNDLE: Final = 64

# The table the host hands the guest holds the VCEK or VLEK, the ASK or
# ASVK and the ARK, a few KiB; hosts add few entries of their own. Entries
# of GUIDs the verifier does not know are skipped without being parsed, so
# only those of its own GUIDs are counted.
CERTIFICATE_TABLE_SIZE: Final = 256 * KIB
CERTIFICATE_TABLE_ENTRIES: Final = 64

# AMD's lists revoke intermediates, not chips: a few hundred bytes today.
# Room for some thousands of entries (about 40 bytes each).
CRL_SIZE: Final = 256 * KIB

# A policy is a few dozen lines; a list of allowed measurements of 48 bytes
# each (about 100 bytes per line) fits some hundreds.
POLICY_FILE_SIZE: Final = 256 * KIB

# What the key service sends: one VCEK (DER), one chain (PEM) or one list.
# The cache holds the same entries, so the same bound applies to both.
KDS_BODY_SIZE: Final = 256 * KIB
CACHE_ENTRY_SIZE: Final = KDS_BODY_SIZE

# What Intel's certification service sends: a TDX TCB info (about 5 KB of
# JSON), the QE identity (under 1 KB), a PCK CRL (a few KB today; room for
# some thousands of revoked PCKs) or the root CA's CRL. Its issuer chain comes
# in a header, which the HTTP client bounds itself. The cache keeps an answer
# with its chain and a CRL as hex, twice its size: still within
# CACHE_ENTRY_SIZE.
PCS_BODY_SIZE: Final = 96 * KIB

# Intel's collateral in one file (--collateral): the four answers above, the
# CRLs as hex and three issuer chains; what a service saved must fit. A
# genuine one is a few tens of kilobytes; a PCK CRL of a large CA is the bulk.
COLLATERAL_FILE_SIZE: Final = 8 * PCS_BODY_SIZE

# A TDX quote: a genuine one with its PEM chain is about 5 KB, and a cloud's
# quote buffer (8,000 bytes, the rest unused) is read whole.
QUOTE_SIZE: Final = 64 * KIB

# Azure's HCL report: genuine ones are 2,600 bytes, their claims about 1,200;
# the vTPM's NV index that holds them is smaller than this.
HCL_REPORT_SIZE: Final = 64 * KIB

# Azure's THIM payload: a genuine one is 6.7 KB, three certificates in PEM.
THIM_PAYLOAD_SIZE: Final = 64 * KIB

# What each memo of a verifier keeps (TDX: the judgements of PCK chains, CRLs, issuer chains, signed
# collateral and whole collateral; SEV-SNP: of certificates and revocation lists), by the exact bytes judged,
# counted by the bytes of input its keys hold. Only what passed its signature under the pinned roots is kept,
# so input that anyone can vary keeps nothing; one platform model's genuine collateral is some tens of KiB,
# so some hundreds of models fit in each.
MEMO_BYTES: Final = 16 * MIB
MEMOS: Final = 7  # TDX's five, SEV-SNP's certificates and revocation lists
# The most a verifier's memos keep of their input, whatever it is given (the judgements made from it, parsed,
# come on top: a few times the bytes of what was signed, which genuine input keeps small). The memos of the
# checks of a certificate alone (`memo.Memoized`) keep only certificates that a pinned chain signed, bounded
# by entries (`Verifier`'s cache_size).
MEMO_TOTAL_BYTES: Final = MEMOS * MEMO_BYTES

# One request, from connecting to the body's last byte: AMD's key service
# answers within a second or two; a server that sends a byte now and then
# must not hold the command for longer than this.
REQUEST_SECONDS: Final = 30.0

# A request still unanswered after this long is said to be slow (one line on
# stderr for the command), so that a user knows what the command waits for.
SLOW_SECONDS: Final = 5.0

# Waiting to retry one address after HTTP 429 or 503, in total.
RETRY_SECONDS: Final = 60.0

# Everything one command run fetches (the VCEK, for a version-2 report from
# each product line in turn, its chain and the revocation list), with its
# waits: a service calling the command gets an answer within this time.
RUN_SECONDS: Final = 180.0

# Redirects followed for one request; AMD's key service sends none.
REDIRECTS: Final = 5

__all__ = [
    "CACHE_ENTRY_SIZE", "CERTIFICATES_PER_BUNDLE", "CERTIFICATE_FILE_SIZE", "CERTIFICATE_TABLE_ENTRIES",
    "CERTIFICATE_TABLE_SIZE", "CRL_SIZE", "KDS_BODY_SIZE", "MEMOS", "MEMO_BYTES", "MEMO_TOTAL_BYTES", "PCS_BODY_SIZE",
    "POLICY_FILE_SIZE", "REDIRECTS", "REPORT_FILE_SIZE", "REQUEST_SECONDS", "RETRY_SECONDS", "RUN_SECONDS",
    "SLOW_SECONDS",
]
