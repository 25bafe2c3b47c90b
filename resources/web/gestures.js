// SPDX-License-Identifier: MIT
// The trackpad's gestures without the DOM: touches in (positions in CSS pixels, times in milliseconds),
// messages out ({kind: "move", dx, dy}, {kind: "scroll", scrollX, scrollY}, {kind: "click" | "down" | "up",
// button}). Motion is handed out only by frame(), once per animation frame, in whole pixels; what is left
// of a pixel waits for the next frame.

export const LEFT = 0;
export const RIGHT = 1;

export const defaults = Object.freeze({
    // A touch lifted within this time, having wandered no further than tapSlop, is a tap.
    tapMaxMs: 250,
    tapSlop: 10,
    // A tap clicks this long after it ends, unless a touch lands first: that touch drags if it moves and
    // makes a double click if it taps.
    doubleTapMs: 250,
    // Slow motion moves the pointer as far as the finger; from accelFrom pixels a millisecond on, each
    // further pixel a millisecond adds accelPerSpeed to the gain, up to maxGain.
    accelFrom: 0.25,
    accelPerSpeed: 0.6,
    maxGain: 2.5,
    scrollScale: 1,
});

export function gain(speed, options = defaults) {
    return Math.min(options.maxGain, 1 + options.accelPerSpeed * Math.max(0, speed - options.accelFrom));
}

export class GestureTracker {
    constructor(options = {}) {
        this.options = {...defaults, ...options};
        // id -> {x, y, startX, startY, time}
        this.touches = new Map();
        // idle, one (a finger that may tap), moving, two (fingers that may tap), scrolling, dragWait (a
        // finger that landed after a tap), dragging, over (waiting for every finger to lift).
        this.mode = "idle";
        this.gestureStart = 0;
        this.travelled = false;
        this.twoFingerTap = false;
        this.dragFinger = null;
        // When the last tap clicks, unless a touch lands before.
        this.pendingClickAt = null;
        this.moveX = 0;
        this.moveY = 0;
        this.scrollX = 0;
        this.scrollY = 0;
        this.outbox = [];
    }

    // points: the touches that landed, [{id, x, y}].
    start(time, points) {
        for (const p of points)
            this.touches.set(p.id, {x: p.x, y: p.y, startX: p.x, startY: p.y, time});
        const count = this.touches.size;
        switch (this.mode) {
        case "idle":
            this.travelled = false;
            this.gestureStart = time;
            if (count === 1 && this.pendingClickAt !== null && time <= this.pendingClickAt) {
                this.pendingClickAt = null;
                this.mode = "dragWait";
                this.dragFinger = points[0].id;
            } else {
                this.clickIfPending();
                this.enterFingers(count, true, time);
            }
            break;
        case "one":
            this.enterFingers(count, !this.travelled, time);
            break;
        case "dragWait":
            // Not a drag after all: the tap before it is still a click.
            this.queue({kind: "click", button: LEFT});
            this.enterFingers(count, !this.travelled, time);
            break;
        case "moving":
            this.enterFingers(count, false, time);
            break;
        case "two":
        case "scrolling":
            if (count > 2)
                this.mode = "over";
            break;
        default:
            // A drag keeps its finger; extra fingers are resting, not gesturing.
            break;
        }
    }

    // points: the touches that moved, with their new positions.
    move(time, points) {
        const o = this.options;
        let sumX = 0;
        let sumY = 0;
        for (const p of points) {
            const t = this.touches.get(p.id);
            if (!t)
                continue;
            const dx = p.x - t.x;
            const dy = p.y - t.y;
            const speed = Math.hypot(dx, dy) / Math.max(1, time - t.time);
            t.x = p.x;
            t.y = p.y;
            t.time = time;
            if (Math.hypot(p.x - t.startX, p.y - t.startY) > o.tapSlop)
                this.travelled = true;
            if (this.mode === "moving" || (this.mode === "dragging" && p.id === this.dragFinger)) {
                const g = gain(speed, o);
                this.moveX += dx * g;
                this.moveY += dy * g;
            }
            sumX += dx;
            sumY += dy;
        }
        switch (this.mode) {
        case "one":
            // Still until it is clearly no tap; then everything it travelled counts, so nothing is lost.
            if (this.travelled || time - this.gestureStart > o.tapMaxMs) {
                this.mode = "moving";
                this.addTravel();
            }
            break;
        case "dragWait":
            if (this.travelled) {
                this.queue({kind: "down", button: LEFT});
                this.mode = "dragging";
                this.addTravel();
            }
            break;
        case "two":
            if (this.travelled) {
                this.mode = "scrolling";
                let x = 0;
                let y = 0;
                for (const t of this.touches.values()) {
                    x += t.x - t.startX;
                    y += t.y - t.startY;
                }
                this.addScroll(x / this.touches.size, y / this.touches.size);
            }
            break;
        case "scrolling":
            this.addScroll(sumX / this.touches.size, sumY / this.touches.size);
            break;
        default:
            break;
        }
    }

    // ids: the touches that lifted.
    end(time, ids) {
        const o = this.options;
        for (const id of ids)
            this.touches.delete(id);
        const count = this.touches.size;
        const quick = !this.travelled && time - this.gestureStart <= o.tapMaxMs;
        switch (this.mode) {
        case "one":
            if (quick)
                this.pendingClickAt = time + o.doubleTapMs;
            break;
        case "dragWait":
            // A second quick tap is a double click; a long touch that never moved leaves the first tap's.
            this.queue({kind: "click", button: LEFT});
            if (quick)
                this.queue({kind: "click", button: LEFT});
            break;
        case "dragging":
            if (!ids.includes(this.dragFinger))
                return;
            this.queue({kind: "up", button: LEFT});
            break;
        case "two":
            if (quick && this.twoFingerTap)
                this.queue({kind: "click", button: RIGHT});
            break;
        default:
            break;
        }
        this.mode = count === 0 ? "idle" : "over";
    }

    // The system took the touches (a call, a system gesture): a drag ends, nothing clicks.
    cancel(time, ids) {
        if (this.mode === "dragging")
            this.queue({kind: "up", button: LEFT});
        for (const id of ids)
            this.touches.delete(id);
        this.pendingClickAt = null;
        this.mode = this.touches.size === 0 ? "idle" : "over";
    }

    // The messages due at this animation frame, in order.
    frame(time) {
        if (this.pendingClickAt !== null && time >= this.pendingClickAt) {
            this.pendingClickAt = null;
            this.queue({kind: "click", button: LEFT});
        }
        this.flushMotion();
        const out = this.outbox;
        this.outbox = [];
        return out;
    }

    // Whether frame() has or may soon have something to say.
    needsFrame() {
        return this.touches.size > 0 || this.pendingClickAt !== null || this.outbox.length > 0 ||
               Math.abs(this.moveX) >= 1 || Math.abs(this.moveY) >= 1 || Math.abs(this.scrollX) >= 1 ||
               Math.abs(this.scrollY) >= 1;
    }

    enterFingers(count, mayTap, time) {
        if (count === 1) {
            this.mode = "one";
        } else if (count === 2) {
            this.mode = "two";
            // Both fingers must land together for a two-finger tap; its time runs from the second.
            this.twoFingerTap = mayTap && time - this.gestureStart <= this.options.tapMaxMs;
            this.gestureStart = time;
        } else {
            this.mode = "over";
        }
    }

    clickIfPending() {
        if (this.pendingClickAt === null)
            return;
        this.pendingClickAt = null;
        this.queue({kind: "click", button: LEFT});
    }

    // The whole way the one finger has come since it landed, at the plain gain.
    addTravel() {
        for (const t of this.touches.values()) {
            this.moveX += t.x - t.startX;
            this.moveY += t.y - t.startY;
            return;
        }
    }

    addScroll(dx, dy) {
        // Content follows the fingers, as on a phone: fingers moving down scroll up (positive).
        this.scrollX += dx * this.options.scrollScale;
        this.scrollY += dy * this.options.scrollScale;
    }

    // A button message goes out after the motion that came before it.
    queue(message) {
        this.flushMotion();
        this.outbox.push(message);
    }

    flushMotion() {
        const dx = Math.trunc(this.moveX);
        const dy = Math.trunc(this.moveY);
        if (dx !== 0 || dy !== 0) {
            this.outbox.push({kind: "move", dx, dy});
            this.moveX -= dx;
            this.moveY -= dy;
        }
        const sx = Math.trunc(this.scrollX);
        const sy = Math.trunc(this.scrollY);
        if (sx !== 0 || sy !== 0) {
            this.outbox.push({kind: "scroll", scrollX: sx, scrollY: sy});
            this.scrollX -= sx;
            this.scrollY -= sy;
        }
    }
}
