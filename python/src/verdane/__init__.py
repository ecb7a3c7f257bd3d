"""verdane: compile, inspect and evaluate policy templates from Python.

    >>> import verdane
    >>> t = verdane.compile(source)
    >>> decision = t.evaluate({"amount": 250}, evidence_json_text)
    >>> decision.passed, decision.report()

Templates come from :func:`compile` (source text) or :func:`decode`
(bytecode). A :class:`Template` decides requests with
:meth:`Template.evaluate`, or many at once on several threads with
:meth:`Template.evaluate_many`; each gives a :class:`Decision`, whose
``report()`` is exactly what ``verdane eval`` prints. Every error is a
:class:`verdane.Error`.
"""

from ._errors import BytecodeError, CompileError, Error, IdError, JsonError
from ._verdane import Decision, Outcome, Template, __version__, compile, decode, parse_id

__all__ = [
    "BytecodeError",
    "CompileError",
    "Decision",
    "Error",
    "IdError",
    "JsonError",
    "Outcome",
    "Template",
    "__version__",
    "compile",
    "decode",
    "parse_id",
]
