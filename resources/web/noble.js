// SPDX-License-Identifier: MIT
// The audited libraries behind pake.js, pinned with their hashes in package-lock.json. Node resolves these
// imports from node_modules; for the browser the build bundles this file with esbuild into one file of the
// same name, which is what the page is served.
export {chacha20poly1305} from "@noble/ciphers/chacha.js";
export {ristretto255, ristretto255_hasher} from "@noble/curves/ed25519.js";
export {bytesToNumberLE} from "@noble/curves/utils.js";
export {hkdf} from "@noble/hashes/hkdf.js";
export {hmac} from "@noble/hashes/hmac.js";
export {sha512} from "@noble/hashes/sha2.js";
