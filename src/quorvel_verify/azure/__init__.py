"""Evidence as Azure hands it out: HCL reports around the hardware report, and THIM payloads of certificates."""
