"""MCP Resource module."""

from typing import Annotated

from mcp.types import Annotations
from pydantic import AnyUrl, UrlConstraints

from vorn_tools.mcp.client.config import MCPConfiguration
from vorn_tools.mcp.client.session import create_session, list_pages


class MCPResource:
    """The MCP (Model Context Protocol) Resource.

    Metadata of one resource a server lists, never its content.

    Attributes:
        uri (AnyUrl | None): The URI of the resource (a host part is optional).
        name (str): The name of the resource.
        description (str | None): The description of the resource.
        mime_type (str | None): The MIME type of the resource.
        size (int | None): The size of the resource in bytes.
        annotations (Annotations | None): The annotations of the resource.
    """

    uri: Annotated[AnyUrl, UrlConstraints(host_required=False)]
    name: str
    description: str | None = None
    mime_type: str | None = None
    size: int | None = None
    annotations: Annotations | None = None

    def __init__(
        self,
        name: str,
        description: str | None = None,
        uri: AnyUrl | None = None,
        mime_type: str | None = None,
        size: int | None = None,
        annotations: Annotations | None = None,
    ) -> None:
        """Constructs a new MCP resource.

        Args:
            name (str): The name of the resource.
            description (str | None): The description of the resource.
            uri (AnyUrl | None): The URI of the resource.
            mime_type (str | None): The MIME type of the resource.
            size (int | None): The size of the resource in bytes.
            annotations (Annotations | None): The annotations of the resource.
        """
        self.name = name
        self.description = description
        self.uri = uri
        self.mime_type = mime_type
        self.size = size
        self.annotations = annotations


async def load_mcp_resources(*, config: MCPConfiguration) -> list[MCPResource]:
    """Load all available MCP resources and convert them to resource objects.

    Opens, initialises and closes a session of its own and lists the server's
    resources, following its pages. Only metadata is returned, never content.

    Args:
        config: The server's configuration.

    Returns:
        One `MCPResource` per listed resource, in the server's listing order.
    """
    async with create_session(config) as resource_session:
        await resource_session.initialize()
        listed = await list_pages(resource_session.list_resources, "resources", config)

    return [
        MCPResource(
            name=resource.name,
            description=resource.description,
            uri=resource.uri,
            mime_type=resource.mimeType,
            size=resource.size,
            annotations=resource.annotations,
        )
        for resource in listed
    ]
