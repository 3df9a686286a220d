"""SignalHub and SignalReceiver: broadcast, lag, close, blocking and asyncio receives."""

import asyncio
import gc
import threading
import time

import pytest

from norva_core import SignalHub


def test_publish_counts_live_receivers_and_drops_without_any():
    hub = SignalHub()
    assert hub.publish("lost") == 0
    a, b = hub.subscribe(), hub.subscribe()
    assert hub.publish("hello") == 2
    assert a.recv() == "hello" and b.recv() == "hello"
    del a
    gc.collect()
    assert hub.publish("again") == 1
    assert b.recv() == "again"


def test_messages_before_subscribe_are_not_seen():
    hub = SignalHub()
    early = hub.subscribe()
    hub.publish("first")
    late = hub.subscribe()
    hub.publish("second")
    assert late.recv() == "second"
    assert early.recv() == "first" and early.recv() == "second"


def test_lag_reports_missed_messages_and_resumes_at_the_oldest():
    hub = SignalHub()
    rx = hub.subscribe()
    for i in range(130):
        hub.publish(f"m{i}")
    with pytest.raises(RuntimeError, match="^Channel Lagged: missed 2 messages$"):
        rx.recv()
    assert [rx.recv() for _ in range(128)] == [f"m{i}" for i in range(2, 130)]


def test_close_after_the_last_sender_drains_then_fails():
    hub = SignalHub()
    rx = hub.subscribe()
    hub.publish("a")
    hub.publish("b")
    del hub
    gc.collect()
    assert rx.recv() == "a" and rx.recv() == "b"
    for _ in range(2):
        with pytest.raises(StopAsyncIteration, match="^Channel Closed$"):
            rx.recv()


def test_blocking_recv_releases_the_interpreter_lock():
    hub = SignalHub()
    rx = hub.subscribe()
    got = []
    t = threading.Thread(target=lambda: got.append(rx.recv()))
    t.start()
    time.sleep(0.05)  # the receiver is waiting; this thread must still run
    hub.publish("wake")
    t.join(5)
    assert got == ["wake"]


def test_two_receives_on_one_receiver_share_its_position():
    hub = SignalHub()
    rx = hub.subscribe()
    out = []
    ts = [threading.Thread(target=lambda: out.append(rx.recv())) for _ in range(2)]
    for t in ts:
        t.start()
    time.sleep(0.05)
    hub.publish("x")
    hub.publish("y")
    for t in ts:
        t.join(5)
    assert sorted(out) == ["x", "y"]


def test_recv_async_receives_and_cancellation_consumes_nothing():
    async def main():
        hub = SignalHub()
        rx = hub.subscribe()
        with pytest.raises(asyncio.TimeoutError):
            await asyncio.wait_for(rx.recv_async(), timeout=0.1)
        pending = rx.recv_async()
        pending.cancel()
        hub.publish("kept")
        assert await rx.recv_async() == "kept"
        waiter = asyncio.ensure_future(rx.recv_async())
        await asyncio.sleep(0)
        hub.publish("later")
        assert await waiter == "later"

    asyncio.run(main())


def test_recv_async_reports_lag_and_close():
    async def main():
        hub = SignalHub()
        rx = hub.subscribe()
        for i in range(129):
            hub.publish(str(i))
        with pytest.raises(RuntimeError, match="missed 1 messages"):
            await rx.recv_async()
        assert await rx.recv_async() == "1"
        for _ in range(127):
            await rx.recv_async()
        waiting = asyncio.ensure_future(rx.recv_async())
        await asyncio.sleep(0)
        del hub
        gc.collect()
        with pytest.raises(StopAsyncIteration, match="Channel Closed"):
            await waiting

    asyncio.run(main())


def test_many_async_receivers_wait_without_threads():
    async def main():
        hub = SignalHub()
        receivers = [hub.subscribe() for _ in range(500)]
        before = threading.active_count()
        tasks = [asyncio.ensure_future(r.recv_async()) for r in receivers]
        await asyncio.sleep(0.01)
        assert threading.active_count() == before
        hub.publish("all")
        assert await asyncio.gather(*tasks) == ["all"] * 500

    asyncio.run(main())


def test_publish_from_a_thread_reaches_an_async_receiver():
    async def main():
        hub = SignalHub()
        rx = hub.subscribe()
        fut = rx.recv_async()
        threading.Thread(target=hub.publish, args=("from thread",)).start()
        assert await asyncio.wait_for(fut, 5) == "from thread"

    asyncio.run(main())


def test_recv_async_needs_a_running_loop_and_arguments_are_checked():
    hub = SignalHub()
    rx = hub.subscribe()
    with pytest.raises(RuntimeError, match="no running event loop"):
        rx.recv_async()
    with pytest.raises(TypeError, match="argument 'msg': 'int' object cannot be converted to 'PyString'"):
        hub.publish(1)
    with pytest.raises(TypeError, match="No constructor defined for SignalReceiver"):
        type(rx)()
