"""The built module itself (its file name and the symbols it exports), and what
configuring the build says when the command cannot be built."""

import os
import re
import shutil
import subprocess
import sysconfig

import pytest

import marlinox


def test_file_name_carries_the_interpreters_extension_suffix():
    assert marlinox.__file__.endswith(sysconfig.get_config_var("EXT_SUFFIX"))


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs nm from binutils")
def test_only_the_init_function_is_exported():
    out = subprocess.run(["nm", "-D", "--defined-only", marlinox.__file__],
                         capture_output=True, text=True, check=True, timeout=120).stdout
    symbols = [line.split()[-1] for line in out.splitlines() if line.strip()]
    assert symbols == ["PyInit_marlinox"]


@pytest.mark.skipif(shutil.which("cmake") is None, reason="needs cmake")
def test_configuring_without_the_commands_libraries_says_what_is_missing(tmp_path):
    # Nothing for pkg-config to find, and neither CLI11 nor zlib: the module
    # alone is configured, and each missing library gets its own line.
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    # The compilers CMake tries are no part of a sanitized build.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    env["PKG_CONFIG_LIBDIR"] = str(tmp_path / "nothing")
    result = subprocess.run(["cmake", "-S", root, "-B", str(tmp_path / "build"), "-DMARLINOX_NATIVE_ONLY=ON",
                             "-DCMAKE_DISABLE_FIND_PACKAGE_CLI11=ON", "-DCMAKE_DISABLE_FIND_PACKAGE_ZLIB=ON"],
                            capture_output=True, text=True, env=env, timeout=600)
    assert result.returncode == 0, result.stderr
    lines = [line for line in result.stderr.splitlines() if "marlinox command" in line]
    assert {"marlinox command not built: libdeflate not found (libdeflate-dev)",
            "marlinox command not built: CLI11 not found (libcli11-dev)",
            "marlinox command not built: zlib not found (zlib1g-dev)"} <= set(lines)
    assert all(re.fullmatch(r"marlinox command not built: \S+ not found \(\S+\)", line) for line in lines), lines
