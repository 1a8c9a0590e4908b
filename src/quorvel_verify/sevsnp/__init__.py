"""AMD SEV-SNP: the attestation report, AMD's certificate chains and key service, and the checks of a report."""
