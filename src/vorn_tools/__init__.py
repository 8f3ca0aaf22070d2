"""VORN Tools: code-interpreter sandboxes and an MCP client for LLM applications."""
