# Writes the viewer page: the template with the worker's source (the
# decoder as a classic script, then worker.js) in place of its marker, so
# that the page needs no other file and works from disk too.
file(READ ${TEMPLATE} page)
file(READ ${DECODER} decoder)
file(READ ${WORKER} worker)
string(FIND "${decoder}${worker}" "</script" closing)
if(NOT closing EQUAL -1)
  message(FATAL_ERROR "the worker's source holds \"</script\", which would end its element in the page")
endif()
string(REPLACE "/*@QZR_WORKER_SOURCE@*/" "${decoder}\n${worker}" page "${page}")
file(WRITE ${OUT} "${page}")
