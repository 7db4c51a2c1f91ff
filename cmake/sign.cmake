# Signs a Windows executable in place with osslsigncode, as a step after linking. When signing
# fails the unsigned executable is removed, whatever the generator, so that no later step (a
# package) takes it for a signed one.
#   cmake -DOSSLSIGNCODE=PATH -DEXE=PATH -DSIGN_ARGS=ARG|ARG|... -P sign.cmake
string(REPLACE "|" ";" sign_args "${SIGN_ARGS}")
execute_process(
  COMMAND "${OSSLSIGNCODE}" sign ${sign_args} -h sha256 -n hostname_check -in "${EXE}" -out "${EXE}.signed"
  RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  file(REMOVE "${EXE}" "${EXE}.signed")
  message(FATAL_ERROR "Signing ${EXE} failed; the unsigned executable is removed")
endif()
file(RENAME "${EXE}.signed" "${EXE}")
