"""The library holds one detector per process: a Detector owns it until closed."""
from __future__ import annotations

import gc
import threading

import numpy as np
import pytest

import kalmoris_wakeword as kw
from conftest import model


def open_detector(probe):
    return kw.Detector(probe, model("wake_mean_1"))


def test_a_second_detector_is_refused_while_the_first_is_open(probe):
    with open_detector(probe) as first:
        first.write(np.zeros(1000, np.int16))
        with pytest.raises(kw.KalwakeError, match="one detector per process") as info:
            open_detector(probe)
        assert info.value.function == "Detector"
        # The refusal did not touch the open detector or its pending samples.
        assert kw.model_count() == 1
        assert first.write(np.zeros(280, np.int16)) == 1
    assert kw.model_count() == -1  # the with block unloaded it
    with open_detector(probe) as second:
        assert second.write(np.zeros(1280, np.int16)) == 1


def test_dropping_the_last_reference_gives_the_detector_back(probe):
    detector = open_detector(probe)
    del detector
    gc.collect()
    assert kw.model_count() == -1
    with open_detector(probe):
        pass


def test_threads_share_one_detector_and_lose_no_chunk(probe):
    with open_detector(probe) as detector:
        counts = []

        def feed():
            counts.append(sum(detector.write(np.full(640, -12, np.int16)) for _ in range(200)))

        threads = [threading.Thread(target=feed) for _ in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert sum(counts) == 4 * 200 * 640 // 1280
        # A steady score above the threshold fires on the sixth chunk, then every eighth
        # (the cooldown): none of them may be lost between the threads' writes.
        assert [d.index for d in detector.detections()] == [0] * ((400 - 6) // 8 + 1)
