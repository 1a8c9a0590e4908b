"""How the command shows a TDX verification as text: the quote's fields and the verdict."""

from __future__ import annotations

from typing import TYPE_CHECKING, Final

if TYPE_CHECKING:
    from .verification import TdxVerification


def describe_quote(result: TdxVerification) -> list[tuple[str, str]]:
    """The quote's fields that a reader looks at first, as (label, text) pairs."""
    quote = result.quote
    td = quote.td_report
    attributes = [name for name, on in td.td_attributes.to_json().items() if on is True]
    return [
        ("version", f"{quote.header.version} (TD report {'1.5' if quote.body_type == 3 else '1.0'})"),
        ("fmspc", result.fmspc),
        ("td_attributes", f"{td.td_attributes.raw:#018x} ({', '.join(attributes) or 'no flags'})"),
        ("tee_tcb_svn", td.tee_tcb_svn.hex()),
        ("mr_td", td.mr_td.hex()),
        ("mr_seam", td.mr_seam.hex()),
        *((f"rtmr{n}", getattr(td, f"rtmr{n}").hex()) for n in range(4)),
        ("report_data", td.report_data.hex()),
        ("tcb_status", f"{result.tcb_status or 'none'}; advisories: {', '.join(result.advisory_ids) or 'none'}"),
    ]


class TdxText:
    evidence = "quote"

    def fields(self, result: TdxVerification) -> list[tuple[str, str]]:
        return describe_quote(result)

    def notes(self, result: TdxVerification) -> list[tuple[str, str]]:
        return []

    def verified_with(self, result: TdxVerification) -> str:
        return f"verified with Intel's PCK chain, TCB {result.tcb_status}"


TEXT: Final = TdxText()
