'use strict';
// Following the default device. A capture opened without a device id keeps
// to the default device of its kind, and an echo-cancelled microphone with
// `reference: 'default'` keeps its reference on the default output: each is a
// DefaultFollower fed the device watch's events. It moves the stream when the
// default changes and announces each settled change once.
//
// When the device a capture is on goes away, the system first falls back to
// another default and then, when a device replaces the lost one (a Bluetooth
// headset switching profiles removes one device and adds another), makes that
// one the default. The follower waits up to SETTLE_MS for such a replacement
// before it takes the fallback, so that one switch is one announcement;
// meanwhile the capture's recovery keeps it hearing the fallback.

const SETTLE_MS = 1000;
const BUSY_RETRY_MS = 50;
const FAILED_RETRY_MS = 200;

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

class DefaultFollower {
  #kind;
  #move;
  #announce;
  #on = null;         // the device the stream runs on, as opened
  #announced = null;  // the device last announced (or first opened)
  #target = null;     // the default the stream should be on: { id, name }
  #served = null;     // the target last moved to (its id may read otherwise once opened)
  #names = new Map();
  #lost = null;       // after the device went away: the devices added since
  #settleTimer = null;
  #busy = false;
  #ended = false;

  // kind: 'input' or 'output'; move(id) opens the stream on `id` and resolves
  // with the id it runs on, or false when there is nothing to move; it
  // rejects with code "Cancelled" once the capture is stopped. announce(id,
  // name) reports a settled change.
  constructor(kind, move, announce) {
    this.#kind = kind;
    this.#move = move;
    this.#announce = announce;
  }

  // The stream was opened (first, by a recovery, or with its capture moved)
  // on `id`.
  landed(id) {
    if (!id) return;
    if (this.#announced === null) this.#announced = id;
    this.#on = id;
    if (this.#target && this.#target.id !== id && this.#lost === null) this.#run();
    else this.#settle();
  }

  event({ type, kind, id, name }) {
    if (kind !== this.#kind || this.#ended) return;
    if (type !== 'removed') this.#names.set(id, name);
    if (type === 'removed' && id === this.#on && this.#lost === null) {
      this.#lost = new Set();
      this.#settleTimer = setTimeout(() => this.#endLoss(), SETTLE_MS);
      this.#settleTimer.unref?.();
    } else if (type === 'added' && this.#lost !== null) {
      this.#lost.add(id);
    } else if (type === 'default-changed') {
      this.#target = { id, name };
      if (this.#lost !== null && !this.#lost.has(id)) return;  // the fallback, for now
      this.#endLoss();
    }
  }

  end() {
    this.#ended = true;
    clearTimeout(this.#settleTimer);
  }

  #endLoss() {
    clearTimeout(this.#settleTimer);
    this.#lost = null;
    this.#run();
  }

  async #run() {
    if (this.#busy || this.#ended || this.#on === null) return;
    this.#busy = true;
    try {
      while (!this.#ended && this.#lost === null && this.#target && this.#target.id !== this.#on &&
             this.#target !== this.#served) {
        const target = this.#target;
        const { id } = target;
        try {
          const opened = await this.#move(id);
          if (typeof opened === 'string') this.#on = opened;
          else if (opened === false) return;
          this.#served = target;
        } catch (error) {
          if (error.code === 'Cancelled') {
            this.end();
            return;
          }
          // An open in flight (a recovery): ask again once it settles. A
          // default that cannot be opened leaves the stream to the recovery,
          // which takes the default then.
          await sleep(/being opened/.test(error.message) ? BUSY_RETRY_MS : FAILED_RETRY_MS);
          if (this.#target && this.#target.id === id && !/being opened/.test(error.message)) return;
        }
      }
    } finally {
      this.#busy = false;
    }
    this.#settle();
  }

  #settle() {
    if (this.#ended || this.#busy || this.#lost !== null || this.#on === this.#announced) return;
    this.#announced = this.#on;
    this.#announce(this.#on, this.#names.get(this.#on) ?? '');
  }
}

module.exports = { DefaultFollower, SETTLE_MS };
