"""What importing the extension does: banner, registration order, names, flags, re-import."""

import sys

import pytest

import norva_core
from conftest import run_python

BANNER = "[NORVA-CORE] Loaded Version: 3.0.25 (Target Env Build)\n"

# Registration order of the names this build registers (later rows fill in between as they land).
REGISTERED = [
    "SupervisorCore",
    "SupervisorProxy",
    "NorvaEngine",
    "Transaction",
    "OutboxCollector",
    "WriteTimeoutError",
    "SignalHub",
    "SignalReceiver",
    "State",
    "FrozenDict",
    "OutboxMsg",
    "MetaLogEntry",
    "ContextError",
    "register_physics_override",
    "clear_physics_overrides",
    "ConfigLoader",
    "SchemaViolationError",
    "AuditBlockError",
    "AuditAbortError",
    "AuditStopError",
    "AuditWarning",
    "ConflictManager",
    "RetryDecision",
    "shm",
]


def test_import_prints_one_banner_and_nothing_else():
    r = run_python("import norva_core")
    assert r.returncode == 0, r.stderr
    assert r.stderr == BANNER
    assert r.stdout == ""


def test_reimport_is_silent_and_returns_the_same_module():
    r = run_python(
        "import sys, norva_core as a\n"
        "del sys.modules['norva_core']\n"
        "import norva_core as b\n"
        "print(a is b, a.SupervisorCore is b.SupervisorCore)\n"
    )
    assert r.returncode == 0, r.stderr
    assert r.stderr == BANNER
    assert r.stdout == "True True\n"


def test_all_lists_registered_names_in_order():
    assert norva_core.__all__ == REGISTERED
    assert "Outbox" not in dir(norva_core)
    assert norva_core.__doc__ and "\n" not in norva_core.__doc__


@pytest.mark.parametrize(
    "name, module, base",
    [
        ("WriteTimeoutError", "norva_core", TimeoutError),
        ("ContextError", "norva.structures", Exception),
        ("SchemaViolationError", "norva.config", Exception),
        ("AuditBlockError", "norva_core", RuntimeError),
        ("AuditAbortError", "norva_core", RuntimeError),
        ("AuditStopError", "norva_core", RuntimeError),
        ("AuditWarning", "norva_core", UserWarning),
    ],
)
def test_exception_types(name, module, base):
    exc = getattr(norva_core, name)
    assert exc.__name__ == name
    assert exc.__module__ == module
    assert exc.__bases__ == (base,)
    assert exc.__doc__ is None
    with pytest.raises(exc):
        raise exc("x")


def test_audit_warning_is_not_a_runtime_error():
    assert not issubclass(norva_core.AuditWarning, RuntimeError)


def test_host_package_names_resolve_to_the_module_types():
    import norva.config
    import norva.guards
    import norva.structures

    assert norva.structures.ContextError is norva_core.ContextError
    assert norva.config.SchemaViolationError is norva_core.SchemaViolationError
    assert norva.guards._current_tx.get() is None


@pytest.mark.parametrize(
    "cls, qualified, subclassable",
    [
        (norva_core.SupervisorCore, True, False),
        (norva_core.NorvaEngine, True, True),
        (norva_core.Transaction, True, False),
        (norva_core.OutboxCollector, True, False),
        (norva_core.OutboxMsg, True, False),
        (norva_core.ConflictManager, True, False),
        (norva_core.RetryDecision, True, False),
        (norva_core.ConfigLoader, True, False),
        (norva_core.shm.BufferDescriptor, False, False),
    ],
)
def test_class_names_and_flags(cls, qualified, subclassable):
    if qualified:
        assert cls.__module__ == "norva_core"
    else:
        assert not hasattr(cls, "__module__")
        assert repr(cls) == f"<class '{cls.__name__}'>"
    if subclassable:
        type("Sub", (cls,), {})
    else:
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})
    with pytest.raises(TypeError):
        cls.some_new_attribute = 1  # the classes themselves are immutable


def test_instances_have_no_dict():
    for obj in (norva_core.SupervisorCore(), norva_core.shm.BufferDescriptor("b", 1, [1], "u8")):
        assert not hasattr(obj, "__dict__")
        with pytest.raises(AttributeError):
            obj.anything = 1


def test_shm_submodule():
    shm = norva_core.shm
    assert shm.__name__ == "shm"
    assert shm.__doc__ is None
    assert "norva_core.shm" not in sys.modules
    r = run_python("import norva_core.shm")
    assert "ModuleNotFoundError" in r.stderr


def test_norva_shm_shares_the_class_and_prints_no_banner():
    r = run_python(
        "import norva_shm\n"
        "print(norva_shm.__doc__, [n for n in dir(norva_shm) if not n.startswith('__')])\n"
        "import norva_core\n"
        "print(norva_shm.BufferDescriptor is norva_core.shm.BufferDescriptor)\n"
    )
    assert r.returncode == 0, r.stderr
    assert r.stdout == "Exposed Python Module ['BufferDescriptor']\nTrue\n"
    assert r.stderr == BANNER  # printed by the later norva_core import only


def test_subinterpreter_import_fails():
    # A legacy (shared-GIL) subinterpreter reaches the module's own refusal; newer Pythons refuse
    # single-phase modules in isolated ones before the module is asked.
    r = run_python(
        "import norva_core\n"
        "try:\n"
        "    import _interpreters as interpreters\n"
        "    iid = interpreters.create(interpreters.new_config('legacy'))\n"
        "except ImportError:\n"
        "    import _xxsubinterpreters as interpreters\n"
        "    try:\n"
        "        iid = interpreters.create(isolated=False)\n"
        "    except TypeError:\n"
        "        iid = interpreters.create()\n"
        "try:\n"
        "    failure = interpreters.run_string(iid, 'import norva_core')\n"
        "except Exception as e:\n"
        "    failure = e\n"
        "print(getattr(failure, 'formatted', failure))\n"
    )
    assert r.returncode == 0, r.stderr
    assert "ImportError" in r.stdout
    assert r.stdout.endswith("norva_core: subinterpreters are not supported\n")
