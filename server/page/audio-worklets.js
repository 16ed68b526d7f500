"use strict";
// The page's audio threads: the microphone cut into 10 ms blocks of 16-bit
// values, and the stream's processed audio played as it arrives. The
// AudioContext runs at the stream's rate, so the browser resamples both.

class BlockCapture extends AudioWorkletProcessor {
  constructor(options) {
    super();
    this.frames = options.processorOptions.blockFrames;
    this.block = new Int16Array(this.frames);
    this.filled = 0;
  }

  process(inputs) {
    const samples = inputs[0][0];
    if (samples === undefined) {
      return true; // no microphone yet
    }
    for (const value of samples) {
      // As the engine does: scaled by 32768, rounded, clamped.
      const scaled = Math.round(value * 32768);
      this.block[this.filled++] = Math.max(-32768, Math.min(32767, scaled || 0));
      if (this.filled === this.frames) {
        this.port.postMessage(this.block, [this.block.buffer]);
        this.block = new Int16Array(this.frames);
        this.filled = 0;
      }
    }
    return true;
  }
}

// Starts once a cushion against network jitter is queued, and again after
// running dry; beyond the cap the oldest audio is dropped, so playback
// never falls far behind.
class BlockPlayback extends AudioWorkletProcessor {
  constructor(options) {
    super();
    this.cushion = options.processorOptions.cushionFrames;
    this.cap = options.processorOptions.capFrames;
    this.queue = [];
    this.offset = 0; // frames of the first chunk already played
    this.queued = 0; // frames of every chunk in the queue
    this.playing = false;
    this.port.onmessage = (event) => this.add(event.data);
  }

  add(samples) {
    this.queue.push(samples);
    this.queued += samples.length;
    while (this.queued - this.offset > this.cap && this.queue.length > 1) {
      this.queued -= this.queue.shift().length;
      this.offset = 0;
    }
  }

  process(inputs, outputs) {
    const out = outputs[0][0];
    if (!this.playing && this.queued - this.offset < this.cushion) {
      return true;
    }
    this.playing = true;
    let at = 0;
    while (at < out.length && this.queue.length > 0) {
      const head = this.queue[0];
      const count = Math.min(out.length - at, head.length - this.offset);
      out.set(head.subarray(this.offset, this.offset + count), at);
      at += count;
      this.offset += count;
      if (this.offset === head.length) {
        this.queue.shift();
        this.queued -= head.length;
        this.offset = 0;
      }
    }
    if (at < out.length) {
      this.playing = false;
    }
    return true;
  }
}

registerProcessor("block-capture", BlockCapture);
registerProcessor("block-playback", BlockPlayback);
