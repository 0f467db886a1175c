// "Kelv.ini" as a first close of the dialog writes it, for the tests of the
// settings file and of both dialogs.
#pragma once

// "Kelv.ini" after the first close of a dialog nobody changed.
inline const char kFreshFile[] =
    "[Set]\r\nActive=0\r\n"
    "Port0=0\r\nbaudRate0=0\r\nStart0=0\r\nCoadType0=0\r\n"
    "Port1=0\r\nbaudRate1=0\r\nStart1=0\r\nCoadType1=0\r\n"
    "Port2=0\r\nbaudRate2=0\r\nStart2=0\r\nCoadType2=0\r\n"
    "Port3=0\r\nbaudRate3=0\r\nStart3=0\r\nCoadType3=0\r\n"
    "Name1=1\r\nName2=2\r\nName3=3\r\nName4=4\r\n";
