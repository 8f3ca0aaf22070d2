"""VORN Tools Code Interpreter."""
