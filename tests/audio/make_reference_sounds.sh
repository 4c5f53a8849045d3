#!/bin/sh
# Writes the reference sounds for the sample loader checks into the folder
# given: WAV files from sox at several rates, depths and channel counts, and
# Ogg Vorbis files from oggenc (mono, stereo, 6 and 9 channels, and a chained
# file whose second link has another layout).
set -eu
out=$1
mkdir -p "$out"
cd "$out"

for rate in 8000 22050 44100; do
  for bits in 8 16; do
    sox -R -n -r "$rate" -c 1 -b "$bits" "wav_${bits}_mono_${rate}.wav" synth 0.3 sine 300-2000 gain -3
    sox -R -n -r "$rate" -c 2 -b "$bits" "wav_${bits}_stereo_${rate}.wav" \
      synth 0.3 sine 440 square 150 gain -6
  done
done

sox -R -n -r 44100 -c 1 -b 16 src_mono.wav synth 1.3 sine 220-1760 gain -4
sox -R -n -r 32000 -c 2 -b 16 src_stereo.wav synth 1.1 sine 330 triangle 555 gain -4
sox -R -n -r 48000 -c 6 -b 16 src_6.wav \
  synth 0.9 sine 200 sine 300 sine 400 sine 500 sine 600 sine 60 gain -2
sox -R -n -r 44100 -c 9 -b 16 -e signed -t raw src_9.raw \
  synth 0.5 sine 100 sine 200 sine 300 sine 400 sine 500 sine 600 sine 700 sine 800 sine 900
oggenc -Q -s 101 -o ogg_mono_44100.ogg src_mono.wav
oggenc -Q -s 102 -o ogg_stereo_32000.ogg src_stereo.wav
oggenc -Q -s 103 -o ogg_6ch_48000.ogg src_6.wav
oggenc -Q -s 104 -r -C 9 -R 44100 -B 16 --raw-endianness 0 -o ogg_9ch_44100.ogg src_9.raw
cat ogg_stereo_32000.ogg ogg_mono_44100.ogg > ogg_chained_stereo_mono.ogg
rm -f src_*
