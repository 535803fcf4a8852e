"""`quarl ui`: the plan, the output folder and the history in a browser, read-only.

The server is the standard library's (http.server, one thread per request): the pages are a few
JSON answers and files read from disk, for one user on this machine, which needs no framework, and
`pip install quarl` brings no web stack. The page's script and style are files of this package
(static/), written by hand without a build step: the graph's left-to-right layout is a few
dozen lines of it, not a library.
"""

from __future__ import annotations

from quarl.run.plan import Plan


def serve(plan: Plan, out: str, host: str, port: int) -> None:
    """Serves the pages of `plan` over the output folder `out` until interrupted."""
    from quarl.ui.data import Project
    from quarl.ui.server import serve as serve_http

    serve_http(Project(plan, out), host, port)
