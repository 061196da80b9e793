# Copies the text IN to OUT with every line ended in CR LF, the way Windows
# programs expect text. Run as cmake -DIN=... -DOUT=... -P crlf.cmake.
file(READ "${IN}" text)
# A checkout may already end its lines in CR LF.
string(REPLACE "\r\n" "\n" text "${text}")
string(REPLACE "\n" "\r\n" text "${text}")
file(WRITE "${OUT}" "${text}")
