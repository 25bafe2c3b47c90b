// SPDX-License-Identifier: MIT
// The trackpad's gestures, driven by touches with made-up times, as a phone would deliver them.
import assert from "node:assert/strict";
import {test} from "node:test";

import {defaults, gain, GestureTracker, LEFT, RIGHT} from "../../resources/web/gestures.js";

const click = (button) => ({kind: "click", button});

// Plays touch events and collects what frames hand out, with a frame every 16 ms and at the end.
function play(steps, until) {
    const tracker = new GestureTracker();
    const out = [];
    let time = 0;
    for (const [at, kind, ...rest] of steps) {
        for (; time + 16 <= at; time += 16)
            out.push(...tracker.frame(time));
        tracker[kind](at, ...rest);
    }
    for (; time <= until; time += 16)
        out.push(...tracker.frame(time));
    return out;
}

const finger = (id, x, y) => ({id, x, y});
const total = (messages, kind, x, y) =>
    messages.filter((m) => m.kind === kind).reduce((sum, m) => [sum[0] + m[x], sum[1] + m[y]], [0, 0]);

test("taps and their thresholds", () => {
    const {tapMaxMs, tapSlop, doubleTapMs} = defaults;
    const rows = [
        {name: "quick and still", lift: tapMaxMs, moveTo: 0, clicks: 1},
        {name: "wandering within the slop", lift: 100, moveTo: tapSlop - 1, clicks: 1},
        {name: "held too long", lift: tapMaxMs + 10, moveTo: 0, clicks: 0},
        {name: "moved beyond the slop", lift: 100, moveTo: tapSlop + 1, clicks: 0},
    ];
    for (const row of rows) {
        const out = play([
            [0, "start", [finger(1, 100, 100)]],
            [50, "move", [finger(1, 100 + row.moveTo, 100)]],
            [row.lift, "end", [1]],
        ], row.lift + doubleTapMs + 20);
        assert.deepEqual(out.filter((m) => m.kind === "click"), Array(row.clicks).fill(click(LEFT)), row.name);
        if (row.clicks)
            assert.ok(!out.some((m) => m.kind === "move"), `${row.name}: a tap does not move the pointer`);
    }
});

test("a tap clicks only once no second touch can follow", () => {
    const tracker = new GestureTracker();
    tracker.start(0, [finger(1, 50, 50)]);
    tracker.end(80, [1]);
    assert.deepEqual(tracker.frame(80 + defaults.doubleTapMs - 1), []);
    assert.deepEqual(tracker.frame(80 + defaults.doubleTapMs), [click(LEFT)]);
    assert.equal(tracker.needsFrame(), false);
});

test("two-finger tap is a right click; fingers far apart in time or moving are not", () => {
    const rows = [
        {name: "together", second: 20, move: 0, expect: [click(RIGHT)]},
        {name: "second finger late", second: defaults.tapMaxMs + 50, move: 0, expect: []},
        {name: "fingers moving", second: 20, move: 40, expect: []},
    ];
    for (const row of rows) {
        const out = play([
            [0, "start", [finger(1, 100, 100)]],
            [row.second, "start", [finger(2, 150, 100)]],
            [row.second + 30, "move", [finger(1, 100, 100 + row.move), finger(2, 150, 100 + row.move)]],
            [row.second + 60, "end", [1]],
            [row.second + 70, "end", [2]],
        ], row.second + 400);
        assert.deepEqual(out.filter((m) => m.kind === "click"), row.expect, row.name);
    }
});

test("two fingers moving scroll, following the fingers, with nothing lost to the slop", () => {
    const out = play([
        [0, "start", [finger(1, 100, 100), finger(2, 160, 100)]],
        [20, "move", [finger(1, 104, 112), finger(2, 164, 112)]],
        [40, "move", [finger(1, 110, 140), finger(2, 170, 140)]],
        [60, "move", [finger(1, 110, 130), finger(2, 170, 130)]],
        [80, "end", [1, 2]],
    ], 200);
    assert.deepEqual(total(out, "scroll", "scrollX", "scrollY"), [10, 30]);
    assert.ok(!out.some((m) => m.kind === "move" || m.kind === "click"));
});

test("tap, then touch and move, drags: down, moves, up in that order", () => {
    const out = play([
        [0, "start", [finger(1, 100, 100)]],
        [60, "end", [1]],
        [150, "start", [finger(1, 100, 100)]],
        // Held for a while before moving still drags.
        [600, "move", [finger(1, 130, 100)]],
        [620, "move", [finger(1, 150, 120)]],
        [700, "end", [1]],
    ], 900);
    const kinds = out.map((m) => m.kind);
    assert.equal(kinds[0], "down");
    assert.equal(kinds.at(-1), "up");
    assert.ok(kinds.slice(1, -1).every((k) => k === "move") && kinds.length > 2);
    assert.deepEqual(total(out, "move", "dx", "dy")[1] > 0, true);
    assert.ok(!kinds.includes("click"), "the first tap became the drag's press");
});

test("tap twice is a double click", () => {
    const out = play([
        [0, "start", [finger(1, 100, 100)]],
        [60, "end", [1]],
        [150, "start", [finger(1, 101, 100)]],
        [200, "end", [1]],
    ], 600);
    assert.deepEqual(out, [click(LEFT), click(LEFT)]);
});

test("a cancelled drag lets the button go", () => {
    const tracker = new GestureTracker();
    tracker.start(0, [finger(1, 0, 0)]);
    tracker.end(50, [1]);
    tracker.start(100, [finger(1, 0, 0)]);
    tracker.move(150, [finger(1, 40, 0)]);
    tracker.cancel(160, [1]);
    assert.deepEqual(tracker.frame(170).map((m) => m.kind), ["down", "move", "up"]);
});

test("acceleration: slow motion is one to one, fast motion gains, up to a cap", () => {
    assert.equal(gain(0.1), 1);
    assert.equal(gain(defaults.accelFrom), 1);
    assert.ok(gain(1.5) > 1.5 && gain(1.5) < defaults.maxGain);
    assert.equal(gain(100), defaults.maxGain);

    // The same 200 pixels travelled slowly and quickly.
    const run = (stepMs) => {
        const steps = [[0, "start", [finger(1, 0, 0)]]];
        for (let i = 1; i <= 20; ++i)
            steps.push([i * stepMs, "move", [finger(1, i * 10, 0)]]);
        steps.push([21 * stepMs, "end", [1]]);
        return total(play(steps, 22 * stepMs), "move", "dx", "dy")[0];
    };
    const slow = run(100);
    const fast = run(4);
    assert.equal(slow, 200);
    assert.ok(fast > 300, `fast travel went ${fast}`);
});

test("fractions of a pixel are carried to later frames, whole pixels go out", () => {
    const tracker = new GestureTracker();
    tracker.start(0, [finger(1, 0, 0)]);
    tracker.move(300, [finger(1, 0, 0)]);
    const out = [];
    for (let i = 1; i <= 10; ++i) {
        // 0.3 pixels per frame, slowly enough for no acceleration.
        tracker.move(300 + i * 100, [finger(1, i * 0.3, -i * 0.3)]);
        out.push(...tracker.frame(300 + i * 100));
    }
    assert.ok(out.every((m) => Number.isInteger(m.dx) && Number.isInteger(m.dy)));
    assert.deepEqual(total(out, "move", "dx", "dy"), [3, -3]);
});

test("motion goes out at most once a frame", () => {
    const tracker = new GestureTracker();
    tracker.start(0, [finger(1, 0, 0)]);
    for (let i = 1; i <= 50; ++i)
        tracker.move(300 + i, [finger(1, i, 0)]);
    const first = tracker.frame(351);
    assert.equal(first.length, 1);
    assert.equal(first[0].kind, "move");
    assert.deepEqual(tracker.frame(352), []);
});
