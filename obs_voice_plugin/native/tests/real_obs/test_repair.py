"""Re-pairing the filter to another tenant in the real OBS app while `scene`
commands flow and the back-end answers acknowledgements after 4.5-4.9 s
(just under the plug-in's 5 s time-out). Neither way may hang OBS or hold
the calling thread for the poll cycle, and afterwards the other tenant, and
only it, is served."""

import obs_run
from repair import repair_by_collection_switch, repair_by_filter_settings

# The re-pairing request itself: loading the models takes well under a
# second; an `update` that waits for the poll cycle in progress takes at least
# the acknowledgement in flight (4.5 s or more). 4 s tells them apart and
# leaves room for a busy machine.
UPDATE_LIMIT = 4.0


def verdict(result):
    return result.line() + "\n" + result.run.report(log_lines=80)


def closed_well(result):
    """A clean close; where OBS_LEFTOVERS allows (OBS 32), also one that went
    wrong only after OBS logged that it kept a scene alive by itself."""
    if result.exit and result.exit.clean:
        return True
    if obs_run.OBS_LEFTOVERS > 0 and result.run.went_wrong_after_obs_leftover():
        print(f"forgiven: the close went wrong after OBS's own \"{obs_run.OBS_LEFTOVER}\"")
        return True
    return False


def test_repair_through_filter_settings_while_scene_commands_wait(session):
    result = repair_by_filter_settings(session)
    print(result.line())
    assert not result.hung, verdict(result)
    assert result.request_seconds < UPDATE_LIMIT, verdict(result)
    assert result.served and result.active_lines == 1, verdict(result)
    assert result.old_polls_after == 0, verdict(result)
    assert closed_well(result), verdict(result)


def test_repair_through_scene_collection_switch_while_scene_commands_wait(session):
    result = repair_by_collection_switch(session)
    print(result.line())
    assert not result.hung and result.answering, verdict(result)
    assert result.served and result.active_lines == 1, verdict(result)
    assert result.old_polls_after == 0, verdict(result)
    assert closed_well(result), verdict(result)
