#!/usr/bin/env bash
# Regenerates the sample recordings shipped in resources/wav from text,
# spoken by espeak-ng and converted by sox. The results are committed, so the
# build does not need either tool; run this only to change a sample.
set -euo pipefail
cd "$(dirname "$0")/wav"

say() {
    local file=$1 text=$2
    espeak-ng -v en-us -s 150 -w "/tmp/wren-$$.wav" "$text"
    # 22.05 kHz 16-bit mono, normalised to -3 dBFS, with 100 ms of silence
    # trimmed back to a clean start so the transmitter lead stays predictable.
    sox "/tmp/wren-$$.wav" -r 22050 -b 16 -c 1 "$file" silence 1 0.01 0.5% reverse silence 1 0.01 0.5% reverse norm -3
    rm -f "/tmp/wren-$$.wav"
}

say STATION_CQ.wav "C Q, C Q, C Q. This is whiskey one alpha bravo charlie, calling C Q and standing by."
say STATION_CQ_FD.wav "C Q field day, C Q field day. Whiskey one alpha bravo charlie, field day."
say STATION_QTH_NAME.wav "My Q T H is Springfield, Springfield. The name here is Sam, Sierra alpha mike."
say STATION_RIG_ANT.wav "The rig here runs one hundred watts into a dipole antenna at thirty feet."
