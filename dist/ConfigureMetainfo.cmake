# Writes the software-centre description from IN to OUT. Its screenshots are
# the README's pictures under SCREENSHOT_URL, the web folder that serves
# docs/screenshots; without one the block goes, since a screenshot must be
# a web address.   cmake -DIN=... -DOUT=... -DSCREENSHOT_URL=... -P this
file(READ "${IN}" text)
string(REGEX REPLACE "/+$" "" SCREENSHOT_URL "${SCREENSHOT_URL}")
if(SCREENSHOT_URL STREQUAL "")
  string(REGEX REPLACE "\n *<screenshots>.*</screenshots>" "" text "${text}")
endif()
string(CONFIGURE "${text}" text @ONLY)
file(WRITE "${OUT}" "${text}")
