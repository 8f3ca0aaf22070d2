"""VORN Tools MCP."""
