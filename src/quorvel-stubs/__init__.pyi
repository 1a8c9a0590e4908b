"""Decode and validate AMD SEV-SNP attestation reports.

``parse_report`` checks every byte of a 1184-byte report, rebuilds the 672-byte
region its signature covers and returns what a verifier needs. It decodes; it
does not verify: ``quorvel_verify`` decides whether to trust a report.

Every exception the module makes has a one-element ``args`` tuple holding its
message. Besides the ``ValueError``, ``TypeError``, ``OverflowError`` and
``NotImplementedError`` that each function names, a call may raise:

- ``MemoryError``: the module's own memory ran out, or the interpreter could
  not create the exception's message while raising it;
- ``SystemError``: an interpreter call failed without setting an exception;
- ``ImportError``: an import from a second interpreter of the process
  (subinterpreters are not supported: the first interpreter to import the
  module owns it);
- ``pyo3_runtime.PanicException``: an internal failure, derived from
  ``BaseException``, not ``Exception`` (it is not an attribute of this
  module). An interpreter allocation that fails inside a call (a ``dict``,
  ``bytes``, ``str`` or ``int`` the call creates) is one: the interpreter's
  pending ``MemoryError`` is printed, then ``PanicException("Python API call
  failed")`` is raised.

A ``KeyboardInterrupt`` or ``SystemExit`` raised while the module formats a
message (in an argument's ``__str__``, or a signal handler that runs there)
ends the call unchanged; any other failure to format an object is handed to
``sys.unraisablehook`` and the message shows ``<unprintable ... object>``
instead. Exceptions raised by an argument's own ``__index__`` pass through
unchanged, except a plain ``TypeError``, which gets the parameter name in
front.

Calls hold the interpreter lock throughout and may come from any thread. When
the interpreter exits while a daemon thread is inside a call, running the
caller's own code there (an argument's ``__index__``, the ``__str__`` of an
error it raised, a ``__del__``), the interpreter ends that thread as it would
end it anywhere else: the thread goes without returning, the references the
call held are left to the exiting process, and the exit goes on normally. From
CPython 3.14 on, the interpreter leaves such a thread waiting instead of ending
it; the exit goes on normally there too.

``ParsedReport``, ``ReportedTcb`` and ``Cpuid`` exist for type checkers only:
import them under ``if TYPE_CHECKING:``.
"""

from typing import NoReturn, TypedDict, type_check_only

__all__ = ["get_report", "parse_report", "get_tdx_quote"]

@type_check_only
class ReportedTcb(TypedDict):
    """The reported TCB version: the security patch level of each firmware component, an ``int`` 0-255 each.

    The byte layout of a TCB version depends on the processor generation:
    Milan and Genoa share one, Turin has another, with an extra ``fmc``
    component that this result leaves out.
    """

    bootloader: int
    """The boot loader's patch level."""
    tee: int
    """The PSP operating system's (TEE's) patch level."""
    snp: int
    """The SNP firmware's patch level."""
    microcode: int
    """The microcode's patch level."""

@type_check_only
class Cpuid(TypedDict):
    """The processor's CPUID family, model and stepping: an ``int`` 0-255 each from report version 3 on, all
    ``None`` in version 2, which does not carry them."""

    fam_id: int | None
    """The CPUID family (``0x19`` Milan and Genoa, ``0x1a`` Turin)."""
    mod_id: int | None
    """The CPUID model."""
    step: int | None
    """The CPUID stepping."""

@type_check_only
class ParsedReport(TypedDict):
    """What ``parse_report`` returns: a new ``dict`` with exactly these keys, in this order."""

    chip_id: bytes
    """The chip identifier, 64 bytes (report bytes 0x1A0-0x1DF); look up the VCEK with it. All zero when the
    host masked it."""
    report_data: bytes
    """The 64 bytes the guest supplied (0x50-0x8F), e.g. a hash of the verifier's nonce."""
    signed_bytes: bytes
    """The 672 bytes the signature covers, rebuilt from the decoded report: the re-encoding of what was
    decoded, not a slice of the input, so a verifier checks the signature over exactly the values it is given.
    Reserved bytes inside the four TCB fields come out as zero."""
    sig_r: bytes
    """The signature's R, 72 bytes, little-endian, exactly as stored at 0x2A0."""
    sig_s: bytes
    """The signature's S, 72 bytes, little-endian, exactly as stored at 0x2E8."""
    reported_tcb: ReportedTcb
    """The TCB version the report claims, which names the VCEK that signed it."""
    cpuid: Cpuid
    """The processor's CPUID family, model and stepping; all ``None`` in a version-2 report."""

def get_report(_challenge: bytes, _msg_ver: int | None = None, _vmpl: int | None = None) -> NoReturn:
    """Gathering evidence: not available in this build.

    Checks its arguments as a working build would (``_challenge`` must be
    ``bytes``; ``_msg_ver`` and ``_vmpl`` ``None`` or an integer in
    ``[0, 2**32)``), then always raises.

    :raises NotImplementedError: on every well-formed call.
    :raises TypeError: a malformed call or an argument of the wrong type.
    :raises OverflowError: ``_msg_ver`` or ``_vmpl`` negative, or ``2**32`` or more.
    """

def parse_report(report_bytes: bytes) -> ParsedReport:
    """Decodes and validates an AMD SEV-SNP attestation report.

    ``report_bytes`` must be a ``bytes`` object (or a subclass) of exactly 1184
    bytes: a report of version 2 or later whose reserved bytes are zero and
    whose processor generation is known. The generation is derived from the
    CPUID bytes for version 3 and later, and from the chip identifier for
    version 2, so a version-2 report whose chip identifier is masked cannot be
    decoded. Reserved bytes inside the four TCB fields are not checked and come
    out as zero in ``signed_bytes``: a report signed with non-zero bytes there
    fails verification, and a genuine report whose reserved TCB bytes were
    changed after signing still verifies. Bytes after the signature (0x330
    onwards) are neither checked nor returned.

    :returns: a new ``dict`` with the keys of ``ParsedReport``, in its order.
    :raises ValueError: the report does not decode. The message is
        ``AttestationReport::from_bytes failed:`` followed by the codec's error:
        ``Custom { kind: InvalidData, error: "expected 1184 bytes, got 1183" }``
        (wrong length), ``Kind(Unsupported)`` (version 0 or 1),
        ``Custom { kind: Other, error: MaskedChipId }`` (version 2, chip
        identifier all zero), ``Custom { kind: InvalidData, error: "processor is
        not of know SEV-SNP generation." }`` or ``... model." }`` (unknown CPUID
        family or model), ``Custom { kind: InvalidData, error: "Skipped bytes
        were expected to be zeroed." }`` (a reserved byte set).
    :raises TypeError: a malformed call (missing, surplus, repeated or unknown
        arguments, e.g. ``parse_report() takes 1 positional arguments but 2 were
        given``) or an argument of the wrong type (``argument 'report_bytes':
        'bytearray' object cannot be converted to 'PyBytes'``).
    """

def get_tdx_quote(_report_data: bytes) -> NoReturn:
    """Gathering an Intel TDX quote: not available in this build.

    Checks its argument as a working build would (``_report_data`` must be
    ``bytes``), then always raises.

    :raises ValueError: on every well-formed call.
    :raises TypeError: a malformed call or an argument of the wrong type.
    """
