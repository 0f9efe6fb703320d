"""One session (display, installed plug-in, WAV files) for all real-app tests;
its folder is kept when a test failed (or TV_REALOBS_KEEP=1)."""

import os

import pytest

import obs_app


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    outcome = yield
    if outcome.get_result().failed:
        item.config.realobs_failed = True


@pytest.fixture(scope="session")
def session(request):
    s = obs_app.Session("realobs")
    request.config.realobs_dir = s.dir
    yield s
    keep = os.environ.get("TV_REALOBS_KEEP") == "1" or getattr(request.config, "realobs_failed", False)
    request.config.realobs_kept = keep
    s.close(keep=keep)


def pytest_terminal_summary(terminalreporter, config):
    if getattr(config, "realobs_kept", False):
        terminalreporter.write_line(f"real-app run folders (configs, OBS logs, stderr, backtraces) kept in "
                                    f"{config.realobs_dir}")
