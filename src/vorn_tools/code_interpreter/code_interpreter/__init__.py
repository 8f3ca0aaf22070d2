"""VORN Tools Code Interpreter module."""
