#!/usr/bin/python3
"""Runs a command with DISPLAY on an Xvfb of its own, started and stopped by process id.

    with_xvfb.py COMMAND [ARGS...]      exits with the command's status
"""
import os
import subprocess
import sys

sys.dont_write_bytecode = True  # nothing written into the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import obs_harness  # noqa: E402

with obs_harness.Xvfb() as display:
    status = subprocess.run(sys.argv[1:], env=dict(os.environ, DISPLAY=display)).returncode
sys.exit(status)
