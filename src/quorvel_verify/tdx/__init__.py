"""Intel TDX quotes: the quote, Intel's PCK chain and collateral, and the checks that verify them."""
