"""The deployment constants of the build under test (host names and ports of
the services the launcher talks to): from the environment, where CTest puts
them, or else from the build's CMake cache."""
import os
import re


def value(name, build_dir=None):
    if build_dir is None and name in os.environ:
        return os.environ[name]
    with open(os.path.join(build_dir or "build", "CMakeCache.txt"), encoding="utf-8") as f:
        return re.search(rf"^{name}:\w+=(.*)$", f.read(), re.M).group(1)


def port(name, build_dir=None):
    """The port of a host:port constant (the loopback stand-ins listen there)."""
    return int(value(name, build_dir).rpartition(":")[2])
