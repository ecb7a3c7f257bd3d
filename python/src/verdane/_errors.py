"""The exceptions verdane raises: one hierarchy under verdane.Error."""


class Error(Exception):
    """Base class of every error verdane raises.

    ``message`` is the problem without its position; ``line`` and ``column``
    locate it (1-based) where it has a position, else they are 0. ``str()`` of
    an error is the line the ``verdane`` command line prints for it.
    """

    def __init__(self, message: str, line: int = 0, column: int = 0) -> None:
        super().__init__(message, line, column)
        self.message = message
        self.line = line
        self.column = column

    def __str__(self) -> str:
        return self.message


def _error_at(error: Error) -> str:
    return f"error at {error.line}:{error.column}: {error.message}"


class CompileError(Error):
    """The source text is not a valid template.

    ``str()`` gives "error at <line>:<column>: <message>", as ``verdane
    compile`` prints it; columns count characters.
    """

    __str__ = _error_at


class BytecodeError(Error):
    """The bytes are not a template's bytecode.

    ``message`` starts with "bytecode: "; ``str()`` is the line ``verdane
    print`` prints, "error at 0:0: bytecode: ...".
    """

    __str__ = _error_at


class IdError(Error):
    """The text is not a template id (base58 of 32 bytes)."""


class JsonError(Error):
    """An intent or evidence text is not one JSON document.

    ``message`` names the document, e.g. "failed to parse intent JSON:
    expected a JSON value"; ``line`` and ``column`` give the position in that
    text. ``str()`` is the line ``verdane eval`` prints: "<message> at line
    <line> column <column>".
    """

    def __str__(self) -> str:
        if self.line == 0:
            return self.message
        return f"{self.message} at line {self.line} column {self.column}"


# Shown, and pickled, as members of the package they are used through.
for _error in (Error, CompileError, BytecodeError, IdError, JsonError):
    _error.__module__ = "verdane"
del _error
