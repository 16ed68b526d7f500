"use strict";
// Signs in with a key, streams the microphone to /v1/stream on this origin as
// numbered 10 ms blocks of 16-bit PCM, plays the processed audio that comes
// back and shows the transcripts (docs/protocol.md, "Audio streams").

const RATE = 16000;
const BLOCK_FRAMES = RATE / 100;
const LANGUAGE_IN = "en-US";
const LANGUAGE_OUT = "es-ES";
// Blocks not yet sent beyond this (a slow network) are dropped.
const MAX_BUFFERED_BYTES = 64 * 1024;

const ui = {
  form: document.getElementById("controls"),
  key: document.getElementById("key"),
  model: document.getElementById("model"),
  button: document.getElementById("start"),
  status: document.getElementById("status"),
  transcripts: document.getElementById("transcripts"),
};

let running = null;

ui.form.addEventListener("submit", (event) => {
  event.preventDefault();
  if (running) {
    stop(running, "Stopped.");
  } else {
    start().catch((error) => fail(error));
  }
});

function show(text, failed = false) {
  ui.status.textContent = text;
  ui.status.classList.toggle("failed", failed);
}

function fail(error) {
  if (running) {
    stop(running, "");
  }
  show(error.message, true);
}

async function signIn(key) {
  const response = await fetch("/v1/sign-in", {
    method: "POST",
    headers: { "Content-Type": "application/json" },
    body: JSON.stringify({ api_key: key }),
  });
  const body = await response.json();
  if (!response.ok) {
    throw new Error(`Sign-in refused: ${body.error}: ${body.message}`);
  }
  return body.token;
}

async function start() {
  ui.button.disabled = true;
  ui.transcripts.replaceChildren();
  const session = { socket: null, context: null, microphone: null, sequence: 0n,
                    model: ui.model.value, framesBack: 0 };
  running = session;
  try {
    // Made before any wait, while the click still counts as a gesture.
    session.context = new AudioContext({ sampleRate: RATE, latencyHint: "interactive" });
    show("Signing in...");
    const token = await signIn(ui.key.value.trim());
    await session.context.resume();
    await session.context.audioWorklet.addModule("/audio-worklets.js");
    session.microphone = await navigator.mediaDevices.getUserMedia({
      audio: { channelCount: 1, echoCancellation: true, noiseSuppression: false,
               autoGainControl: false },
    });
    show("Connecting...");
    session.socket = await openStream(token, session.model);
    connectAudio(session);
    session.socket.onmessage = (event) => onMessage(session, event.data);
    session.socket.onclose = (event) => {
      if (running === session) {
        stop(session, `The stream ended: ${event.code} ${event.reason}`);
      }
    };
    showProgress(session);
    ui.button.textContent = "Stop";
  } catch (error) {
    if (running === session) {
      stop(session, "");
    }
    throw error;
  } finally {
    ui.button.disabled = false;
  }
}

function stop(session, text) {
  running = null;
  if (session.socket) {
    session.socket.onclose = null;
    session.socket.close(1000);
  }
  if (session.microphone) {
    session.microphone.getTracks().forEach((track) => track.stop());
  }
  if (session.context) {
    session.context.close();
  }
  ui.button.textContent = "Start";
  if (text) {
    show(text);
  }
}

// Resolves with the socket once the service accepts the stream.
function openStream(token, model) {
  const scheme = location.protocol === "https:" ? "wss:" : "ws:";
  const socket = new WebSocket(`${scheme}//${location.host}/v1/stream`);
  socket.binaryType = "arraybuffer";
  return new Promise((resolve, reject) => {
    socket.onopen = () => {
      socket.send(JSON.stringify({
        token, model, rate: RATE, channels: 1, codec: "l16",
        language_in: LANGUAGE_IN, language_out: LANGUAGE_OUT,
      }));
    };
    socket.onmessage = (event) => {
      if (typeof event.data === "string" && JSON.parse(event.data).event === "accepted") {
        resolve(socket);
      }
    };
    socket.onclose = (event) => {
      reject(new Error(`Stream refused: ${event.code} ${event.reason}`));
    };
  });
}

function connectAudio(session) {
  const context = session.context;
  const source = context.createMediaStreamSource(session.microphone);
  const capture = new AudioWorkletNode(context, "block-capture", {
    numberOfInputs: 1, numberOfOutputs: 1, outputChannelCount: [1],
    channelCount: 1, channelCountMode: "explicit",
    processorOptions: { blockFrames: BLOCK_FRAMES },
  });
  session.playback = new AudioWorkletNode(context, "block-playback", {
    numberOfInputs: 0, numberOfOutputs: 1, outputChannelCount: [1],
    processorOptions: { cushionFrames: 6 * BLOCK_FRAMES, capFrames: RATE / 2 },
  });
  capture.port.onmessage = (event) => sendBlock(session, event.data);
  source.connect(capture);
  // Its output is silent; connected so that the browser keeps running it.
  capture.connect(context.destination);
  session.playback.connect(context.destination);
}

function showProgress(session) {
  const seconds = (frames) => (frames / RATE).toFixed(1);
  ui.status.dataset.secondsBack = seconds(session.framesBack);
  show(`Streaming (${session.model}): ${seconds(Number(session.sequence) * BLOCK_FRAMES)} s ` +
       `sent, ${seconds(session.framesBack)} s back.`);
}

function sendBlock(session, samples) {
  const socket = session.socket;
  if (socket.readyState !== WebSocket.OPEN || socket.bufferedAmount > MAX_BUFFERED_BYTES) {
    return;
  }
  const message = new ArrayBuffer(8 + 2 * samples.length);
  const view = new DataView(message);
  view.setBigUint64(0, session.sequence++, true);
  samples.forEach((value, i) => view.setInt16(8 + 2 * i, value, true));
  socket.send(message);
}

function onMessage(session, data) {
  if (typeof data !== "string") {
    const view = new DataView(data, 8);
    const samples = new Float32Array(view.byteLength / 2);
    for (let i = 0; i < samples.length; i++) {
      samples[i] = view.getInt16(2 * i, true) / 32768;
    }
    const before = session.framesBack;
    session.framesBack += samples.length;
    session.playback.port.postMessage(samples, [samples.buffer]); // empties `samples`
    if (Math.floor(session.framesBack / RATE) > Math.floor(before / RATE)) {
      showProgress(session);
    }
    return;
  }
  const message = JSON.parse(data);
  if (message.event === "transcript" && ["transcription", "translation"].includes(message.type)) {
    showTranscript(message);
  }
}

// One list item per utterance: its transcription, then its translation;
// a partial text is replaced by the next, then by the final one.
function showTranscript(message) {
  let item = ui.transcripts.querySelector(`li[data-utterance="${message.utterance}"]`);
  if (!item) {
    item = document.createElement("li");
    item.dataset.utterance = String(message.utterance);
    for (const type of ["transcription", "translation"]) {
      const line = document.createElement("p");
      line.className = type;
      item.append(line);
    }
    ui.transcripts.append(item);
  }
  const line = item.querySelector(`.${message.type}`);
  if (line.classList.contains("final")) {
    return;
  }
  line.textContent = message.text;
  line.lang = message.language;
  line.classList.toggle("final", message.final);
}
