'use strict';
// 16-bit PCM WAV files: the demo writes what it captured and reads what it
// synthesised.

function wavHeader(dataBytes, sampleRate, channels) {
  const header = Buffer.alloc(44);
  header.write('RIFF', 0, 'ascii');
  header.writeUInt32LE(36 + dataBytes, 4);
  header.write('WAVE', 8, 'ascii');
  header.write('fmt ', 12, 'ascii');
  header.writeUInt32LE(16, 16);
  header.writeUInt16LE(1, 20);  // integer PCM
  header.writeUInt16LE(channels, 22);
  header.writeUInt32LE(sampleRate, 24);
  header.writeUInt32LE(sampleRate * channels * 2, 28);
  header.writeUInt16LE(channels * 2, 32);
  header.writeUInt16LE(16, 34);
  header.write('data', 36, 'ascii');
  header.writeUInt32LE(dataBytes, 40);
  return header;
}

// `chunks`: Buffers of interleaved signed 16-bit little-endian samples.
function encodeWav(chunks, sampleRate, channels) {
  const data = Buffer.concat(chunks);
  return Buffer.concat([wavHeader(data.length, sampleRate, channels), data]);
}

// Walks the RIFF chunks (writers put LIST and other chunks before "data").
// Returns { sampleRate, channels, bitsPerSample, data } or throws.
function decodeWav(file) {
  if (file.length < 12 || file.toString('ascii', 0, 4) !== 'RIFF' || file.toString('ascii', 8, 12) !== 'WAVE') {
    throw new Error('not a RIFF/WAVE file');
  }
  let format = null;
  for (let at = 12; at + 8 <= file.length;) {
    const id = file.toString('ascii', at, at + 4);
    let size = file.readUInt32LE(at + 4);
    const body = at + 8;
    // Streaming writers leave the size of the last chunk unknown (0xffffffff or 0).
    if (id === 'data' && (size === 0xffffffff || size === 0 || body + size > file.length)) size = file.length - body;
    if (id === 'fmt ') {
      format = {
        audioFormat: file.readUInt16LE(body),
        channels: file.readUInt16LE(body + 2),
        sampleRate: file.readUInt32LE(body + 4),
        bitsPerSample: file.readUInt16LE(body + 14),
      };
    } else if (id === 'data') {
      if (!format) throw new Error('WAV data before its format');
      if (format.audioFormat !== 1 || format.bitsPerSample !== 16) {
        throw new Error(`unsupported WAV format ${format.audioFormat}/${format.bitsPerSample} bit`);
      }
      return { ...format, data: file.subarray(body, body + size) };
    }
    at = body + size + (size & 1);
  }
  throw new Error('WAV file without data');
}

module.exports = { encodeWav, decodeWav };
