"""The project that the orchestrator benchmarks run: generated into a folder, package `benchproj`.

    benchproj.chain      CHAIN small unpartitioned assets in layers of WIDTH, each consuming one
                         asset of the layer before
    benchproj.fanout     one asset with PARTITIONS trivial partitions
"""

import pathlib


def write_project(root, chain=300, partitions=300, width=10):
    """Writes the package under ROOT; returns the number of runs it plans."""
    package = pathlib.Path(root, "benchproj")
    package.mkdir(parents=True, exist_ok=True)
    (package / "__init__.py").write_text('"""A generated project for the orchestrator benchmarks."""\n')
    lines = ["from quarl import asset", ""]
    for i in range(chain):
        if i < width:
            lines += ["", "@asset()", f"def a{i}() -> int:", f"    return {i}", ""]
        else:
            lines += ["", f"@asset(inputs={{'x': a{i - width}}})", f"def a{i}(x: int) -> int:",
                      "    return x + 1", ""]
    (package / "chain.py").write_text("\n".join(lines))
    values = ", ".join(str(i) for i in range(partitions))
    (package / "fanout.py").write_text(
        "from quarl import asset, partitions\n\n\n"
        f"@asset(partitions={{'n': partitions([{values}])}})\n"
        "def cell(n: int) -> int:\n    return n * n\n")
    return chain + partitions
