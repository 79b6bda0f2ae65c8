"""The built module itself: its file name and the symbols it exports."""

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
