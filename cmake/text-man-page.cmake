# Renders the man page MAN as plain text with CR LF line ends into OUT, for the Windows packages:
# no escape sequences and no overstriking, which Notepad would show as they are.
execute_process(COMMAND ${GROFF} -man -Tascii -P -c -P -b -P -u ${MAN} OUTPUT_VARIABLE text
                COMMAND_ERROR_IS_FATAL ANY)
string(ASCII 8 backspace) # what is left of overstriking: a bullet, + over o
string(REGEX REPLACE ".${backspace}" "" text "${text}")
string(REPLACE "\n" "\r\n" text "${text}")
file(WRITE ${OUT} "${text}")
