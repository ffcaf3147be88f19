# Authenticode signatures on what we ship: with a code-signing certificate configured, the
# build signs its programs (and the MSI) with osslsigncode; without one it signs nothing and
# its output is what it always was.

set(QVB_SIGN_CERTS "" CACHE FILEPATH
    "PEM chain of the code-signing certificate (leaf first); empty: nothing is signed")
set(QVB_SIGN_KEY "" CACHE FILEPATH "PEM private key of the code-signing certificate")
set(QVB_SIGN_TIMESTAMP "" CACHE STRING "RFC 3161 time-stamp authority's URL")
set(QVB_SIGN_URL "https://www.qvbrelmox.com.br/" CACHE STRING
    "The product's URL in the signature")

if(QVB_SIGN_CERTS OR QVB_SIGN_KEY OR QVB_SIGN_TIMESTAMP)
  # A signature without a time-stamp dies with its certificate: all three, or none.
  if(NOT (QVB_SIGN_CERTS AND QVB_SIGN_KEY AND QVB_SIGN_TIMESTAMP))
    message(FATAL_ERROR "QVB_SIGN_CERTS, QVB_SIGN_KEY and QVB_SIGN_TIMESTAMP go together")
  endif()
  find_program(QVB_OSSLSIGNCODE osslsigncode REQUIRED)
endif()

# qvb_authenticode_sign(TARGET): signs TARGET's file after every link, when signing is set up.
function(qvb_authenticode_sign target)
  if(NOT QVB_SIGN_CERTS)
    return()
  endif()
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -DFILE=$<TARGET_FILE:${target}> -DCERTS=${QVB_SIGN_CERTS}
            -DKEY=${QVB_SIGN_KEY} -DTIMESTAMP=${QVB_SIGN_TIMESTAMP} -DURL=${QVB_SIGN_URL}
            -DOSSLSIGNCODE=${QVB_OSSLSIGNCODE}
            -P ${PROJECT_SOURCE_DIR}/cmake/AuthenticodeSign.cmake
    VERBATIM)
endfunction()
