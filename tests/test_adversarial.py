"""Hostile inputs: objects whose protocols raise or lie, containers that change under the module's
feet, replaced standard functions, deep nesting and huge inputs. Every call must end in a value or
a Python exception, and a run directory must hold only what the failure rules allow."""

import subprocess
import sys
import textwrap

import pytest


def run_isolated(code):
    """Runs `code` in a fresh interpreter, so that a crash fails this test instead of pytest."""
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=120)
    assert done.returncode == 0, f"exit status {done.returncode}\n{done.stderr[-3000:]}"
    return done.stdout


# --- recursion through native code only ----------------------------------------------------------
# A wrapper around a wrapper around ... calls, reads and frees through C frames that Python's
# recursion checks do not see on their own.

CHAIN = """
    import functools, sys
    from quarl import asset

    def f():
        '''doc'''
        return 1

    chain = f
    for i in range({links}):
        chain = asset()(chain)
        if {with_partial} and i % 2:
            chain = functools.partial(chain)
"""


READING = "RecursionError maximum recursion depth exceeded while reading an asset's function"


@pytest.mark.parametrize("with_partial, action, expected", [
    (False, "chain()", "RecursionError maximum recursion depth exceeded while calling an asset"),
    (True, "chain()", "RecursionError maximum recursion depth exceeded while calling an asset"),
    (False, "chain.__name__", READING),
    (False, "chain.__doc__", READING),
    (False, "chain.__module__", READING),
    (False, "chain.__qualname__", READING),
])
def test_long_wrapper_chain_raises_recursion_error(with_partial, action, expected):
    out = run_isolated(CHAIN.format(links=300_000, with_partial=with_partial) + f"""
    try:
        {action}
    except RecursionError as error:
        print("RecursionError", error)
    """)
    assert out == expected + "\n"


@pytest.mark.parametrize("with_partial", [False, True])
def test_long_wrapper_chain_is_freed(with_partial):
    out = run_isolated(CHAIN.format(links=1_000_000, with_partial=with_partial) + """
    import weakref
    alive = weakref.ref(f)
    del f, chain
    print(alive() is None)
    """)
    assert out == "True\n"


def test_short_wrapper_chain_still_calls_through():
    out = run_isolated(CHAIN.format(links=200, with_partial=True) + """
    print(chain())
    """)
    assert out == "1\n"


def test_recursive_asset_beyond_a_raised_limit_raises_recursion_error():
    out = run_isolated("""
    import sys
    from quarl import asset

    @asset()
    def countdown(n):
        return 0 if n == 0 else 1 + countdown(n - 1)

    sys.setrecursionlimit(10**7)
    print(countdown(500))
    try:
        countdown(10**6)
    except RecursionError as error:
        print("RecursionError", str(error).startswith("maximum recursion depth exceeded"))
    """)
    assert out == "500\nRecursionError True\n"
