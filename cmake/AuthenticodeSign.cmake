# cmake -DFILE=... -DCERTS=chain.pem -DKEY=key.pem -DTIMESTAMP=url [-DURL=url]
#       [-DNAME=text] [-DOSSLSIGNCODE=path] -P AuthenticodeSign.cmake
# Signs FILE in place: SHA-256, the product's name and URL, and an RFC 3161 time-stamp. The
# signed copy replaces FILE only once it is whole, so FILE is never half signed.

foreach(var FILE CERTS KEY TIMESTAMP)
  if(NOT ${var})
    message(FATAL_ERROR "AuthenticodeSign: ${var} is not set")
  endif()
endforeach()
if(NOT NAME)
  set(NAME "QV/Brelmox")
endif()
if(NOT URL)
  set(URL "https://www.qvbrelmox.com.br/")
endif()
if(NOT OSSLSIGNCODE)
  set(OSSLSIGNCODE osslsigncode)
endif()
set(signing "${FILE}.signing")
file(REMOVE "${signing}")
execute_process(COMMAND ${OSSLSIGNCODE} sign -certs ${CERTS} -key ${KEY} -h sha256
                        -n ${NAME} -i ${URL} -ts ${TIMESTAMP} -in ${FILE} -out ${signing}
                RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0)
  file(REMOVE "${signing}")
  message(FATAL_ERROR "AuthenticodeSign: ${FILE} could not be signed:\n${output}")
endif()
file(RENAME "${signing}" "${FILE}")
