#!/usr/bin/env bash
# The helper fuzz target's seed corpus: 0.3 s of tone (and a few frames of picture where
# the container is a video one) in many containers and codecs, made by ffmpeg; the formats
# with large frames get one or two: make_seeds.sh FOLDER
set -euo pipefail
out=$1
mkdir -p "$out"
tone=(-f lavfi -i "sine=frequency=440:duration=0.3:sample_rate=44100" -ac 2)
picture=(-f lavfi -i "testsrc=duration=0.3:size=64x48:rate=25")
make() {
    local name=$1
    shift
    ffmpeg -v error -nostdin -y "$@" "$out/$name" || echo "make_seeds.sh: $name not made" >&2
}
make tone.wav "${tone[@]}" -ar 8000
make xing-id3.mp3 "${tone[@]}" -c:a libmp3lame -b:a 64k
make no-xing.mp3 "${tone[@]}" -c:a libmp3lame -b:a 64k -write_xing 0
make no-id3.mp3 "${tone[@]}" -c:a libmp3lame -b:a 64k -id3v2_version 0 -write_id3v1 0
make id3v1.mp3 "${tone[@]}" -c:a libmp3lame -b:a 64k -write_id3v1 1 -metadata title=seed
make tone.mp2 "${tone[@]}" -c:a mp2 -b:a 128k
make tone.ac3 "${tone[@]}" -c:a ac3 -b:a 96k
make tone.eac3 "${tone[@]}" -c:a eac3 -b:a 96k
make tone.aac "${tone[@]}" -c:a aac -b:a 64k -f adts
make tone.m4a "${tone[@]}" -c:a aac -b:a 64k
make movie.mp4 "${picture[@]}" "${tone[@]}" -c:v mpeg4 -c:a aac -b:a 64k
make movie.mkv "${picture[@]}" "${tone[@]}" -c:v mpeg4 -c:a ac3 -b:a 96k
make tone.mka "${tone[@]}" -c:a flac
make movie.webm "${picture[@]}" "${tone[@]}" -c:v libvpx -c:a libopus -b:a 32k
make tone.ogg "${tone[@]}" -c:a libvorbis
make tone.opus "${tone[@]}" -c:a libopus -b:a 32k
make tone.flac "${tone[@]}" -c:a flac
make movie.avi "${picture[@]}" "${tone[@]}" -c:v mpeg4 -c:a mp3 -b:a 64k
make movie.mpg "${picture[@]}" "${tone[@]}" -c:v mpeg1video -c:a mp2 -f mpeg
make movie.ts "${picture[@]}" "${tone[@]}" -c:v mpeg2video -c:a mp2 -f mpegts
make movie.flv "${picture[@]}" "${tone[@]}" -c:v flv -c:a mp3 -ar 44100
make tone.asf "${tone[@]}" -c:a wmav2 -b:a 64k -f asf
make tone.aiff "${tone[@]}" -ar 8000
make tone.caf "${tone[@]}" -ar 8000 -c:a pcm_s16be
make tone.au "${tone[@]}" -ar 8000
make tone.w64 "${tone[@]}" -ar 8000
make rf64.wav "${tone[@]}" -ar 8000 -rf64 always
make tone.wv "${tone[@]}" -c:a wavpack
make tone.tta "${tone[@]}" -c:a tta
make tone.mlp "${tone[@]}" -ar 48000 -c:a mlp -strict -2
make tone.thd "${tone[@]}" -ar 48000 -c:a truehd -strict -2 -f truehd
make tone.dts "${tone[@]}" -ar 48000 -c:a dca -strict -2
make spdif.wav "${tone[@]}" -ar 48000 -c:a ac3 -f spdif
make tone.latm "${tone[@]}" -c:a aac -b:a 64k -f latm
make alac.m4a "${tone[@]}" -c:a alac
make ac3.mp4 "${tone[@]}" -c:a ac3 -b:a 96k
make tone.spx "${tone[@]}" -ar 16000 -ac 1 -c:a libspeex
make tone.voc "${tone[@]}" -ar 8000 -ac 1 -c:a pcm_u8
make tone.rm "${tone[@]}" -c:a ac3 -b:a 96k -f rm
make tone.mmf "${tone[@]}" -ar 8000 -ac 1 -f mmf
make tone.adx "${tone[@]}" -c:a adpcm_adx -f adx
make adpcm.wav "${tone[@]}" -c:a adpcm_ima_wav
make movie.mov "${picture[@]}" "${tone[@]}" -c:v libx264 -c:a aac -b:a 64k
make movie.3gp "${picture[@]}" -f lavfi -i "sine=duration=0.3:sample_rate=8000" -s 176x144 \
    -c:v h263 -c:a aac -b:a 12k -ac 1
make movie.mxf "${picture[@]}" "${tone[@]}" -frames:v 2 -c:v mpeg2video -c:a pcm_s16le -ar 48000
make movie.gxf "${picture[@]}" "${tone[@]}" -frames:v 2 -c:v mpeg2video -c:a pcm_s16le -ar 48000 -ac 1 \
    -s 720x576
make movie.dv "${picture[@]}" "${tone[@]}" -t 0.04 -c:v dvvideo -s 720x576 -pix_fmt yuv420p -r 25 \
    -ar 48000
make movie.nut "${picture[@]}" "${tone[@]}" -c:v mpeg4 -c:a mp2
make movie.m2ts "${picture[@]}" "${tone[@]}" -c:v libx264 -c:a ac3 -f mpegts -mpegts_m2ts_mode 1
make movie.vob "${picture[@]}" "${tone[@]}" -c:v mpeg2video -c:a ac3 -f vob
make movie.wtv "${picture[@]}" "${tone[@]}" -frames:v 2 -c:v mpeg2video -c:a mp2
make movie.ismv "${picture[@]}" "${tone[@]}" -c:v libx264 -c:a aac -b:a 64k
make movie.h264 "${picture[@]}" -c:v libx264
make movie.hevc "${picture[@]}" -c:v libx265 -x265-params log-level=error
make movie.ivf "${picture[@]}" -c:v libvpx-vp9
make movie.ogv "${picture[@]}" "${tone[@]}" -c:v libtheora -c:a libvorbis
