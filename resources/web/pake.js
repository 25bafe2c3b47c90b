// SPDX-License-Identifier: MIT
// The page's side of vemdo-pake-v1 without the DOM: CPace over ristretto255 with SHA-512
// (draft-irtf-cfrg-cpace-21), its key confirmation, one key per direction, and sealed frames. The computer
// runs the same exchange (security/pake_exchange.h, which describes the five messages); both are checked
// against tests/security/pake_vectors.json. Bytes are Uint8Arrays; every failure is a null.
import {bytesToNumberLE, chacha20poly1305, hkdf, hmac, ristretto255, ristretto255_hasher, sha512} from "./noble.js";

export const protocolName = "vemdo-pake-v1";
const nonceBytes = 16;
const pointBytes = 32;
const sha512BlockBytes = 128;
// Parts longer than 2 MiB are never sent, so longer length prefixes are refused rather than decoded.
const maxLengthPrefixBytes = 3;
const dsi = "CPaceRistretto255";

const encoder = new TextEncoder();
const bytesOf = (value) => (typeof value === "string" ? encoder.encode(value) : value);

function concat(...parts) {
    const out = new Uint8Array(parts.reduce((sum, part) => sum + part.length, 0));
    let at = 0;
    for (const part of parts) {
        out.set(part, at);
        at += part.length;
    }
    return out;
}

function lengthPrefix(length) {
    const prefix = [];
    do {
        const low = length & 0x7f;
        length = Math.floor(length / 128);
        prefix.push(length ? low | 0x80 : low);
    } while (length);
    return Uint8Array.from(prefix);
}

// Each part (bytes or text) preceded by its length in LEB128: the draft's lv_cat.
export function lvCat(...parts) {
    return concat(...parts.flatMap((part) => [lengthPrefix(bytesOf(part).length), bytesOf(part)]));
}

// The parts of an lvCat; null unless the input is exactly a sequence of minimally encoded parts.
export function lvSplit(bytes) {
    const parts = [];
    let at = 0;
    while (at < bytes.length) {
        let length = 0;
        for (let index = 0; ; ++index) {
            if (index === maxLengthPrefixBytes || at === bytes.length)
                return null;
            const byte = bytes[at++];
            // A last byte of zero after the first would make a second encoding of the same length.
            if (index > 0 && byte === 0)
                return null;
            length += (byte & 0x7f) * 2 ** (7 * index);
            if (!(byte & 0x80))
                break;
        }
        if (length > bytes.length - at)
            return null;
        parts.push(bytes.subarray(at, at + length));
        at += length;
    }
    return parts;
}

// lv_cat(DSI, PRS, zero padding to fill SHA-512's first block, CI, sid).
export function generatorString(prs, ci, sid) {
    const used = 1 + lengthPrefix(prs.length).length + prs.length + lengthPrefix(dsi.length).length + dsi.length;
    return lvCat(dsi, prs, new Uint8Array(Math.max(0, sha512BlockBytes - used)), ci, sid);
}

export function calculateGenerator(prs, ci, sid) {
    return ristretto255_hasher.deriveToCurve(sha512(generatorString(prs, ci, sid))).toBytes();
}

// 32 random bytes with the bits above the group's 252 cleared, as the draft recommends.
export function sampleScalar(randomBytes) {
    const scalar = Uint8Array.from(randomBytes(32));
    scalar[31] &= 0x0f;
    return scalar;
}

// y·X (the draft's scalar_mult_vfy); null when X is no valid encoding or the product is the identity.
export function scalarMult(y, x) {
    try {
        const product = ristretto255.Point.fromBytes(x).multiply(bytesToNumberLE(y));
        return product.is0() ? null : product.toBytes();
    } catch {
        // Invalid encodings and a zero scalar throw.
        return null;
    }
}

// ISK, the two confirmation tags and the two keys; see cpace::Agreement in security/cpace.h.
export function agree(sid, k, ya, ada, yb, adb) {
    const initiatorMessage = lvCat(ya, ada);
    const responderMessage = lvCat(yb, adb);
    const isk = sha512(concat(lvCat(`${dsi}_ISK`, sid, k), initiatorMessage, responderMessage));
    const macKey = sha512(concat(bytesOf("CPaceMac"), sid, isk));
    const key = (direction) => hkdf(sha512, isk, undefined, bytesOf(`${protocolName} ${direction}`), 32);
    return {
        isk,
        initiatorTag: hmac(sha512, macKey, initiatorMessage),
        responderTag: hmac(sha512, macKey, responderMessage),
        keys: {initiatorToResponder: key("initiator to responder"), responderToInitiator: key("responder to initiator")},
    };
}

function sameBytes(a, b) {
    if (a.length !== b.length)
        return false;
    let difference = 0;
    for (let i = 0; i < a.length; ++i)
        difference |= a[i] ^ b[i];
    return difference === 0;
}

// The nonce is the number of frames sealed before, as a 96-bit little-endian integer; it is not sent.
function nonceFor(counter) {
    const nonce = new Uint8Array(12);
    new DataView(nonce.buffer).setBigUint64(0, counter, true);
    return nonce;
}

// ChaCha20-Poly1305 frames (ciphertext and 16-byte tag) in one direction.
export class Sealer {
    constructor(key) {
        this.key = key;
        this.counter = 0n;
    }

    seal(plaintext) {
        return chacha20poly1305(this.key, nonceFor(this.counter++)).encrypt(bytesOf(plaintext));
    }
}

// Opens only the next frame unaltered; after one that fails, every frame fails.
export class Opener {
    constructor(key) {
        this.key = key;
        this.counter = 0n;
        this.failed = false;
    }

    open(frame) {
        if (this.failed)
            return null;
        try {
            const plaintext = chacha20poly1305(this.key, nonceFor(this.counter)).decrypt(frame);
            ++this.counter;
            return plaintext;
        } catch {
            this.failed = true;
            return null;
        }
    }
}

function channelIdentifier(channel) {
    return lvCat(protocolName, ...channel);
}

// The page's side of the exchange, one per connection. password and associatedData: bytes or text;
// channel: the texts both ends see of the connection; randomBytes(n): n random bytes. Each step takes the
// computer's message and returns the page's next one (readConfirmation: {outgoing: Sealer, incoming:
// Opener}), or null, after which the object stays failed and the page closes the connection.
export class PakeInitiator {
    constructor({password, channel, associatedData, randomBytes}) {
        this.password = bytesOf(password);
        this.ci = channelIdentifier(channel);
        this.associatedData = bytesOf(associatedData);
        // Drawn in this order, as the computer's side does.
        this.nonce = Uint8Array.from(randomBytes(nonceBytes));
        this.scalar = sampleScalar(randomBytes);
        this.step = "hello";
        this.peerAssociatedData = null;
    }

    get failed() {
        return this.step === "failed";
    }

    // Message 2; null when the frame is no hello of this version.
    readHello(frame) {
        return this.advance("hello", "reply", frame, 2, ([name, responderNonce]) => {
            if (!sameBytes(name, bytesOf(protocolName)) || responderNonce.length !== nonceBytes)
                return null;
            this.sid = concat(responderNonce, this.nonce);
            this.share = scalarMult(this.scalar, calculateGenerator(this.password, this.ci, this.sid));
            return this.share && lvCat(this.nonce, this.share, this.associatedData);
        });
    }

    // Message 4; null when the frame is no reply or its point is invalid.
    readReply(frame) {
        return this.advance("reply", "confirmation", frame, 2, ([share, data]) => {
            const k = share.length === pointBytes ? scalarMult(this.scalar, share) : null;
            if (!k)
                return null;
            this.peerAssociatedData = data;
            this.agreement = agree(this.sid, k, this.share, this.associatedData, share, data);
            return lvCat(this.agreement.initiatorTag);
        });
    }

    // The sealed channel when the computer's tag is right.
    readConfirmation(frame) {
        return this.advance("confirmation", "done", frame, 1, ([tag]) => {
            if (!sameBytes(tag, this.agreement.responderTag))
                return null;
            const {initiatorToResponder, responderToInitiator} = this.agreement.keys;
            return {outgoing: new Sealer(initiatorToResponder), incoming: new Opener(responderToInitiator)};
        });
    }

    // Runs one step when it is the expected one and the frame has fieldCount fields; the object is failed
    // unless the step returns a result.
    advance(expected, next, frame, fieldCount, step) {
        const current = this.step;
        this.step = "failed";
        const fields = current === expected ? lvSplit(frame) : null;
        const result = fields && fields.length === fieldCount ? step(fields) : null;
        if (result)
            this.step = next;
        return result;
    }
}
