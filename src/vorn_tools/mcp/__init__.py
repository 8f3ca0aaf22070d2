"""VORN Tools MCP: a client for Model Context Protocol servers.

Import the client from ``vorn_tools.mcp.client`` and the LangChain adapter
from ``vorn_tools.mcp.client.langchain``; this package itself loads nothing.
"""
