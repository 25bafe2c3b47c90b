// SPDX-License-Identifier: MIT
// The trackpad's gestures, driven by touches with made-up times, as a phone would deliver them.
import assert from "node:assert/strict";
import {test} from "node:test";

import {defaults, GestureTracker, LEFT, RIGHT} from "../../resources/web/gestures.js";

const finger = (id, x, y) => ({id, x, y});
const click = (button) => ({kind: "click", button});
const move = (dx, dy) => ({kind: "move", dx, dy});

// Plays touch events with a frame every 16 ms up to `until` and returns what the frames handed out, each
// run of motion added up into one message.
function play(steps, until) {
    const tracker = new GestureTracker();
    const out = [];
    let time = 0;
    const frame = () => {
        for (const m of tracker.frame(time)) {
            const last = out.at(-1);
            if (last && last.kind === m.kind && (m.kind === "move" || m.kind === "scroll"))
                Object.keys(m).filter((k) => k !== "kind").forEach((k) => (last[k] += m[k]));
            else
                out.push({...m});
        }
    };
    for (const [at, kind, ...rest] of steps) {
        for (; time + 16 <= at; time += 16)
            frame();
        tracker[kind](at, ...rest);
    }
    for (; time <= until; time += 16)
        frame();
    return out;
}

test("one finger: taps, double taps and drags, each at its threshold", () => {
    const {tapMaxMs, tapSlop, doubleTapMs} = defaults;
    const tap = [[0, "start", [finger(1, 100, 100)]], [60, "end", [1]]];
    const again = [...tap, [150, "start", [finger(1, 101, 100)]]];
    // Fingers here travel at most 0.2 pixels a millisecond, too slowly for acceleration.
    const rows = [
        {name: "a tap clicks once no second touch can follow", steps: tap, until: 60 + doubleTapMs + 16,
         out: [click(LEFT)]},
        {name: "and not before", steps: tap, until: 60 + doubleTapMs - 10, out: []},
        {name: "wandering within the slop", steps: [tap[0], [50, "move", [finger(1, 100 + tapSlop - 1, 100)]],
            [100, "end", [1]]], out: [click(LEFT)]},
        {name: "held too long", steps: [tap[0], [tapMaxMs + 10, "end", [1]]], out: []},
        {name: "moved beyond the slop, all of the way counts", steps: [tap[0],
            [100, "move", [finger(1, 100 + tapSlop + 1, 100)]], [200, "end", [1]]], out: [move(tapSlop + 1, 0)]},
        {name: "tap twice: a double click", steps: [...again, [200, "end", [1]]], out: [click(LEFT), click(LEFT)]},
        {name: "tap, then touch, hold and move: a drag", steps: [...again, [600, "move", [finger(1, 131, 100)]],
            [800, "move", [finger(1, 131, 140)]], [900, "end", [1]]],
         out: [{kind: "down", button: LEFT}, move(30, 40), {kind: "up", button: LEFT}]},
        {name: "a cancelled drag lets the button go", steps: [...again, [300, "move", [finger(1, 121, 100)]],
            [310, "cancel", [1]]], out: [{kind: "down", button: LEFT}, move(20, 0), {kind: "up", button: LEFT}]},
    ];
    for (const row of rows)
        assert.deepEqual(play(row.steps, row.until ?? 1000), row.out, row.name);
});

test("two fingers: a tap right-clicks, moving scrolls with the fingers and nothing lost to the slop", () => {
    const rows = [
        {name: "tap", second: 20, moves: [], out: [click(RIGHT)]},
        {name: "second finger late", second: defaults.tapMaxMs + 50, moves: [], out: []},
        {name: "moving", second: 0, moves: [[4, 12], [10, 40], [10, 30]], out: [{kind: "scroll", scrollX: 10,
            scrollY: 30}]},
    ];
    for (const row of rows) {
        const steps = [[0, "start", [finger(1, 100, 100)]], [row.second, "start", [finger(2, 160, 100)]]];
        row.moves.forEach(([x, y], i) => steps.push([row.second + 20 * (i + 1), "move",
            [finger(1, 100 + x, 100 + y), finger(2, 160 + x, 100 + y)]]));
        steps.push([row.second + 80, "end", [1, 2]]);
        assert.deepEqual(play(steps, row.second + 400), row.out, row.name);
    }
});

test("acceleration: slow motion is one to one, fast motion gains, up to a cap", () => {
    // The same 200 pixels travelled slowly and quickly.
    const run = (stepMs) => {
        const steps = [[0, "start", [finger(1, 0, 0)]]];
        for (let i = 1; i <= 20; ++i)
            steps.push([i * stepMs, "move", [finger(1, i * 10, 0)]]);
        steps.push([21 * stepMs, "end", [1]]);
        return play(steps, 22 * stepMs)[0].dx;
    };
    assert.equal(run(100), 200);
    const fast = run(4);
    assert.ok(fast > 300 && fast <= 200 * defaults.maxGain, `fast travel went ${fast}`);
});

test("whole pixels go out at most once a frame; fractions are carried to later frames", () => {
    const tracker = new GestureTracker();
    tracker.start(0, [finger(1, 0, 0)]);
    for (let i = 1; i <= 50; ++i)
        tracker.move(300 + i, [finger(1, i, 0)]);
    assert.deepEqual(tracker.frame(351).map((m) => m.kind), ["move"]);
    assert.deepEqual(tracker.frame(352), []);

    const slow = new GestureTracker();
    slow.start(0, [finger(1, 0, 0)]);
    slow.move(300, [finger(1, 0, 0)]);
    const out = [];
    for (let i = 1; i <= 10; ++i) {
        // 0.3 pixels a frame, slowly enough for no acceleration.
        slow.move(300 + i * 100, [finger(1, i * 0.3, -i * 0.3)]);
        out.push(...slow.frame(300 + i * 100));
    }
    assert.ok(out.every((m) => Number.isInteger(m.dx) && Number.isInteger(m.dy)));
    assert.deepEqual(out.reduce((sum, m) => [sum[0] + m.dx, sum[1] + m.dy], [0, 0]), [3, -3]);
});
