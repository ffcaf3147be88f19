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

# The publisher pin of the exit swap: a delivered launcher takes the place only when its
# signature verifies and its signer's certificate is this one, byte for byte.
set(QVB_PUBLISHER_PIN "" CACHE FILEPATH
    "PEM code-signing certificate that a delivered launcher must be signed with; empty: no pin")

# qvb_publisher_pin_library(NAME [cert.pem]): NAME defines EmbeddedPublisherCertificate() with
# the certificate's DER bytes, or with none.
function(qvb_publisher_pin_library name)
  set(body "    return {};\n")
  if(ARGN)
    set(file "${ARGN}")
    if(NOT QVB_OPENSSL)
      message(FATAL_ERROR "${name}: the openssl command is needed to read ${file}")
    endif()
    execute_process(COMMAND ${QVB_OPENSSL} x509 -in "${file}" -noout -ext extendedKeyUsage
                    OUTPUT_VARIABLE usage ERROR_QUIET)
    # A pin on anything else (a CA, a server certificate) would match no signer.
    if(NOT usage MATCHES "Code Signing")
      message(FATAL_ERROR "${file} is not a PEM code-signing certificate")
    endif()
    set(der ${CMAKE_BINARY_DIR}/keys/${name}.der)
    execute_process(COMMAND ${QVB_OPENSSL} x509 -in "${file}" -outform DER -out ${der}
                    COMMAND_ERROR_IS_FATAL ANY)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${file}")
    file(READ ${der} hex HEX)
    string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
    set(body "    static const unsigned char der[] = {${bytes}};\n    return std::string(reinterpret_cast<const char*>(der), sizeof der);\n")
  endif()
  set(source ${CMAKE_BINARY_DIR}/keys/${name}.cpp)
  file(CONFIGURE OUTPUT ${source} CONTENT
       "// Made by CMake from the pinned publisher certificate.\n#include \"launcher/SelfReplace.h\"\n\nstd::string EmbeddedPublisherCertificate() {\n${body}}\n")
  add_library(${name} STATIC ${source})
  target_link_libraries(${name} PUBLIC qvbcore)
endfunction()

# A code-signing CA and a publisher under it for the tests of the pin, made in the build tree
# when it is configured (never committed): dir/ca.pem, dir/Dravo.pem and their keys.
function(qvb_make_test_publisher dir)
  if(NOT QVB_OPENSSL)
    return()
  endif()
  file(MAKE_DIRECTORY ${dir})
  if(NOT EXISTS ${dir}/Dravo.pem)
    execute_process(COMMAND ${QVB_OPENSSL} req -x509 -newkey rsa:2048 -nodes -keyout ${dir}/ca.key
                            -out ${dir}/ca.pem -days 3650 -subj "/CN=QVBrelmox test code-signing CA"
                            -addext "basicConstraints=critical,CA:TRUE"
                            -addext "keyUsage=critical,keyCertSign,cRLSign"
                    OUTPUT_QUIET ERROR_QUIET COMMAND_ERROR_IS_FATAL ANY)
    execute_process(COMMAND ${QVB_OPENSSL} req -x509 -newkey rsa:2048 -nodes
                            -keyout ${dir}/Dravo.key -out ${dir}/Dravo.pem -days 3650
                            -CA ${dir}/ca.pem -CAkey ${dir}/ca.key -subj "/O=Dravo/CN=Dravo"
                            -addext "basicConstraints=CA:FALSE"
                            -addext "keyUsage=critical,digitalSignature"
                            -addext "extendedKeyUsage=codeSigning"
                    OUTPUT_QUIET ERROR_QUIET COMMAND_ERROR_IS_FATAL ANY)
  endif()
endfunction()
