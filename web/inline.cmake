# Writes the viewer page: the template with the worker's source (the
# decoder as two classic scripts, with SIMD and plain, then worker.js) in
# place of its marker, so that the page needs no other file and works from
# disk too.
# cmake -DTEMPLATE=index.html -DWORKER=worker.js -DDECODER=qzr-single.js
#       -DDECODER_PLAIN=qzr-single-plain.js -DOUT=page.html -P inline.cmake
file(READ ${TEMPLATE} page)
file(READ ${DECODER} decoder)
file(READ ${DECODER_PLAIN} plain)
file(READ ${WORKER} worker)
set(source "${decoder}\n${plain}\n${worker}")
string(FIND "${source}" "</script" closing)
if(NOT closing EQUAL -1)
  message(FATAL_ERROR "the worker's source holds \"</script\", which would end its element in the page")
endif()
string(REPLACE "/*@QZR_WORKER_SOURCE@*/" "${source}" page "${page}")
file(WRITE ${OUT} "${page}")
