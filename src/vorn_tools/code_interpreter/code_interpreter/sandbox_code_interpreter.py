"""The code interpreter: runs the model–tool loop of `execute_code_tool` over one sandbox."""

from __future__ import annotations

import posixpath
from typing import Any, ClassVar

from vorn_inference.lm_invoker.lm_invoker import BaseLMInvoker
from vorn_inference.prompt_builder.prompt_builder import PromptBuilder
from vorn_inference.schema import Attachment, CodeExecResult, LMOutput, Message, ToolCall, ToolResult

from vorn_tools._native import find_sandbox_links
from vorn_tools.code_interpreter.code_interpreter.code_interpreter import BaseCodeInterpreter
from vorn_tools.code_interpreter.code_interpreter.tools import create_execute_code_tool
from vorn_tools.code_interpreter.code_sandbox.code_interpreter_sandbox import CodeInterpreterSandbox
from vorn_tools.code_interpreter.code_sandbox.constants import DEFAULT_EXECUTION_TIMEOUT, DEFAULT_UPLOAD_DIR
from vorn_tools.code_interpreter.code_sandbox.utils import build_upload_path
from vorn_tools.code_interpreter.errors import CodeInterpreterError
from vorn_tools.code_interpreter.redaction import get_redacting_logger, redact, redacted_message

logger = get_redacting_logger(__name__)

_FORMAT_INSTRUCTIONS = (
    "\n\nIf you create any files during code execution, provide download links in this format:\n"
    "[Download filename.csv](sandbox:/files/filename.csv)\n\n"
    "Only include files you actually created or modified."
)

# The reference semantics of the link scan. `find_sandbox_links` returns exactly what
# re.findall returns with this pattern, in linear time: the regex engine is quadratic on
# a long run of "[" without "]", which a prompt-injected answer can produce.
_MARKDOWN_LINK_PATTERN = r"\[[^\]]+\]\(sandbox:(/[^\)]+)\)"

_EXECUTE_CODE_TOOL = "execute_code_tool"
_TOOL_ERROR_PREFIX = "Error executing tool: "


def _escape_template(text: str) -> str:
    """Escape braces so that the prompt builder reproduces `text` literally."""
    return text.replace("{", "{{").replace("}", "}}")


class SandboxCodeInterpreter(BaseCodeInterpreter):
    """Code interpreter that lets a language model run code in a sandbox.

    The model is offered one tool, `execute_code_tool`, and may call it as often as it wants;
    each call runs in `sandbox`, and its reply goes back to the model. `execute` returns the
    model's final answer with one `CodeExecResult` per `execute_code_tool` call; the files the
    answer links to ("[name](sandbox:/path)") are downloaded from the sandbox and attached to
    the record of the last such call: each distinct path once, and at most
    `MAX_OUTPUT_FILES` distinct paths per answer.

    The sandbox is the host's: this class never creates, resets or terminates it. Requests on
    one invoker must run one after another, since each request replaces the invoker's tools.
    """

    # Distinct files downloaded per answer at most: an answer links a handful of files, and a
    # runaway or prompt-injected one must not turn into hundreds of sequential downloads held
    # in memory. A subclass may change it.
    MAX_OUTPUT_FILES: ClassVar[int] = 20

    def __init__(self, sandbox: CodeInterpreterSandbox, lm_invoker: BaseLMInvoker) -> None:
        if not isinstance(lm_invoker, BaseLMInvoker):
            raise TypeError("lm_invoker must be a BaseLMInvoker instance")
        self.sandbox = sandbox
        self.lm_invoker = lm_invoker

    async def execute(self, message: str, files: list[Attachment] | None = None, **kwargs: Any) -> LMOutput:
        """Answer `message`, letting the model run code in the sandbox.

        Args:
            message: The user message, passed to the model literally.
            files: Input files, uploaded into the sandbox with every execution and listed in
                the system message with the paths where the sandbox stores them.
            **kwargs: Passed to every invocation of the model, and to nothing else.

        Returns:
            An `LMOutput` with the answer text and the code-execution records. A failure is
            logged and returned as the answer text; it is never raised. Cancellation propagates.
        """
        execution_outputs: list[str] = []
        try:
            final, output_files_data = await self._invoke_lm_and_parse_response(
                message, files, execution_outputs, **kwargs
            )
            # Files go to the last execute_code_tool record; without one there is nowhere to put them.
            if not any(call.name == _EXECUTE_CODE_TOOL for call in final.tool_calls):
                output_files_data = []
            downloaded = await self._download_output_files(output_files_data)
            records = self._convert_tool_calls_to_code_exec_results(final.tool_calls, execution_outputs, downloaded)
            output = LMOutput()
            output.add_text(final.text)
            output.add_code_exec_result(records)
            return output
        # Failure texts are rendered with `redacted_message`, which survives an exception
        # whose __str__ fails: `execute` never raises for a failure.
        except CodeInterpreterError as error:
            text = redacted_message(error)
            logger.error(text, exc_info=True, extra={"error_code": getattr(error, "stage", None)})
        except Exception as error:
            logger.error(f"Full error details: {redacted_message(error)}", exc_info=True)
            text = f"LM invocation failed: {redacted_message(error)}"
        output = LMOutput()
        output.add_text(text)
        return output

    async def _invoke_lm_and_parse_response(
        self, message: str, files: list[Attachment] | None, execution_outputs: list[str], **kwargs: Any
    ) -> tuple[LMOutput, list[str]]:
        """Run the model–tool loop; return the final output (with every tool call) and the linked paths."""
        uploaded_files = self._prepare_uploaded_files(files)
        system_message = self._build_system_message(uploaded_files)
        builder = PromptBuilder(
            system_template=_escape_template(system_message), user_template=_escape_template(message)
        )
        execute_code_tool = create_execute_code_tool(self.sandbox, execution_outputs, files)
        self.lm_invoker.set_tools([execute_code_tool])
        tool_dict = {execute_code_tool.name: execute_code_tool}
        prompt = builder.format({})

        result = _as_lm_output(await self.lm_invoker.invoke(prompt, **kwargs))
        all_tool_calls: list[ToolCall] = []
        tool_calls = result.tool_calls
        messages = prompt.copy()
        while tool_calls:
            all_tool_calls.extend(tool_calls)
            messages.append(self._build_tool_call_message(result))
            tool_results = await self._invoke_tools(tool_calls, tool_dict, execution_outputs)
            messages.extend(self._build_tool_result_messages(tool_results))
            result = _as_lm_output(await self.lm_invoker.invoke(messages, **kwargs))
            tool_calls = result.tool_calls

        final = LMOutput()
        final.add_text(result.text)
        final.add_tool_call(all_tool_calls)
        return final, self._parse_output_files_from_response(result.text)

    def _build_tool_call_message(self, lm_output: LMOutput) -> Message:
        """The assistant turn: the output's text when not empty, then its tool calls."""
        contents: list[Any] = []
        if lm_output.text:
            contents.append(lm_output.text)
        contents.extend(lm_output.tool_calls)
        return Message.assistant(contents)

    async def _invoke_tools(
        self, tool_calls: list[ToolCall], tool_dict: dict[str, Any], execution_outputs: list[str]
    ) -> list[tuple[str, str]]:
        """Run the calls one at a time; return one (call id, reply) per call.

        Every `execute_code_tool` call leaves exactly one entry in `execution_outputs`: the
        run's text, or, when the invocation raised or its arguments were rejected, the reply
        the model got. So the k-th record always pairs with the k-th call.
        """
        results: list[tuple[str, str]] = []
        for call in tool_calls:
            if call.name not in tool_dict:
                results.append((call.id, redact(f"{_TOOL_ERROR_PREFIX}unknown tool '{call.name}'")))
                continue
            code = call.args.get("code")
            timeout = call.args.get("timeout", DEFAULT_EXECUTION_TIMEOUT)
            slot = len(execution_outputs)
            try:
                reply = str(await tool_dict[call.name].ainvoke({"code": code, "timeout": timeout}))
            except Exception as error:
                reply = f"{_TOOL_ERROR_PREFIX}{redacted_message(error)}"
                del execution_outputs[slot:]
            if len(execution_outputs) == slot:
                execution_outputs.append(reply)
            results.append((call.id, reply))
        return results

    def _build_tool_result_messages(self, tool_results: list[tuple[str, str]]) -> list[Message]:
        """One user turn per reply, each holding one `ToolResult`."""
        return [Message.user(ToolResult(id=call_id, output=text)) for call_id, text in tool_results]

    def _prepare_uploaded_files(self, files: list[Attachment] | None) -> list[dict[str, Any]]:
        """Describe each input file by its name and the path where the sandbox stores it."""
        if not files:
            return []
        upload_dir = getattr(self.sandbox, "_DEFAULT_UPLOAD_DIR", DEFAULT_UPLOAD_DIR)
        return [
            {"filename": f.filename, "file_path": build_upload_path(str(f.filename), None, upload_dir)}
            for f in files
        ]

    def _build_system_message(self, uploaded_files: list[dict[str, Any]] | None = None) -> str:
        """The base system message followed by the download-link instructions."""
        return super()._build_system_message(uploaded_files) + _FORMAT_INSTRUCTIONS

    def _parse_output_files_from_response(self, response_text: str) -> list[str]:
        """Return the sandbox paths of the download links in `response_text`, in order; [] on failure."""
        try:
            if not isinstance(response_text, str):
                raise TypeError(f"expected a text, got {type(response_text).__name__}")
            return find_sandbox_links(response_text)
        except Exception as error:
            logger.warning(f"Failed to parse output files from response: {redacted_message(error)}")
            logger.debug(f"Response text: {response_text}")
            return []

    async def _download_output_files(self, output_files_data: list[str]) -> list[Attachment]:
        """Download each distinct linked path once, in link order, up to `MAX_OUTPUT_FILES` paths.

        A path that fails is logged and skipped; spellings of one path ("/files/./a.csv",
        "/files//a.csv") count as that path.
        """
        attachments: list[Attachment] = []
        seen: set[str] = set()
        for path in output_files_data:
            try:
                filename = path.rsplit("/", 1)[-1]
                key = posixpath.normpath(path)
                if not filename or key in seen:
                    continue
                if len(seen) >= self.MAX_OUTPUT_FILES:
                    cap = self.MAX_OUTPUT_FILES
                    logger.warning(f"The answer links more than {cap} files; only the first {cap} are downloaded")
                    break
                seen.add(key)
                content = await self.sandbox.download_file(path)
                if not content:
                    continue
                attachments.append(Attachment.from_bytes(bytes=content, filename=filename))
            except Exception as error:
                logger.warning(f"Error downloading file {path}: {redacted_message(error)}")
        return attachments

    def _convert_tool_calls_to_code_exec_results(
        self, tool_calls: list[ToolCall], execution_outputs: list[str], downloaded_files: list[Attachment]
    ) -> list[CodeExecResult]:
        """One record per `execute_code_tool` call, paired with the outputs by order.

        The downloaded files go to the record of the last `execute_code_tool` call.
        """
        positions = [i for i, call in enumerate(tool_calls) if call.name == _EXECUTE_CODE_TOOL]
        records: list[CodeExecResult] = []
        for counter, position in enumerate(positions):
            call = tool_calls[position]
            output: list[Any] = []
            if counter < len(execution_outputs) and execution_outputs[counter]:
                output.append(execution_outputs[counter])
            if position == positions[-1]:
                output.extend(downloaded_files)
            code = call.args.get("code")
            # A non-text `code` was refused by the tool; keep its text form rather than fail the request.
            code = code if code is None or isinstance(code, str) else str(code)
            records.append(CodeExecResult(id=call.id, code=code, output=output))
        return records


def _as_lm_output(result: Any) -> LMOutput:
    """Use an invoker's result as an `LMOutput`; anything else becomes one holding its text form."""
    if isinstance(result, LMOutput):
        return result
    output = LMOutput()
    output.add_text(str(result))
    return output
