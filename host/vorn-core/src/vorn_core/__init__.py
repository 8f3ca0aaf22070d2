"""Core library of the host: credential masking engine and logger manager."""
