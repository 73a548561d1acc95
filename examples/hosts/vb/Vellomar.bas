Attribute VB_Name = "Vellomar"
' Vellomar's StringTable for Visual Basic 6 and VBA (32-bit and 64-bit Office).
'
' No Visual Basic runs where Vellomar is built and tested: nothing compiles or
' runs this module there. It was written from vellomar.h and checked by
' reading it against the header, argument by argument, as below.
'
' Which DLL: a VB6 program and 32-bit Office are 32-bit processes and load the
' 32-bit Vellomar.dll, whose StringTable is __stdcall, the one convention
' Declare knows; 64-bit Office loads the 64-bit Vellomar.dll. Put the DLL of
' the process's width beside the program (for Office, beside the host
' application or on PATH), or write its full path after Lib.
'
' The header's types:
'   uint8_t *buffer         ByRef buffer As Byte        pass buffer(0): the array's
'                                                      first byte, nothing copied
'   uint32_t expectedSize   ByVal expectedSize As Long  so files under 2 GiB
'   uint16_t *table         ByRef table As Integer      pass table(0): Integer is the
'                                                      16-bit word; a Long table
'                                                      would be read as word pairs
'   const char *fileName    ByVal fileName As String    Declare passes a String
'                                                      in the ANSI code page
'   uint32_t recordMode     ByVal recordMode As Long
'   uint32_t (the result)   As Long                     counts stay below 32770
' Long is 32 bits in VB6 and in both VBAs; in 64-bit Office only pointers grow,
' and the two ByRef arguments are the pointers, so PtrSafe is all it takes.
' Integer is signed: a word of 32768 or more reads as negative, and
' "And &HFFFF&" gives the length back.
Option Explicit

Public Const VELLOMAR_END_MARKER As Integer = -999 ' 0xFC19
Public Const VELLOMAR_PLAIN_ENTRY_LIMIT As Long = 16384
Public Const VELLOMAR_RECORD_ENTRY_LIMIT As Long = 32768
' Words of table a host must provide: the limit plus 4. A marked file is
' always indexed in record mode, so a host that may meet one provides the
' record size whatever mode it asks for.
Public Const VELLOMAR_PLAIN_TABLE_WORDS As Long = 16388
Public Const VELLOMAR_RECORD_TABLE_WORDS As Long = 32772

#If VBA7 Then
Public Declare PtrSafe Function StringTable Lib "Vellomar.dll" ( _
    ByRef buffer As Byte, ByVal expectedSize As Long, ByRef table As Integer, _
    ByVal fileName As String, ByVal recordMode As Long) As Long
#Else
Public Declare Function StringTable Lib "Vellomar.dll" ( _
    ByRef buffer As Byte, ByVal expectedSize As Long, ByRef table As Integer, _
    ByVal fileName As String, ByVal recordMode As Long) As Long
#End If

' Reads fileName through StringTable and prints "index offset length text"
' per entry, as the C host does, in the Immediate window (Debug.Print).
Public Sub Walk(ByVal fileName As String, Optional ByVal recordMode As Boolean = False)
    Dim size As Long
    size = FileLen(fileName)
    ' The buffer holds exactly the size we expect (one byte for an empty file,
    ' so that buffer(0) exists); the table has the record room, since a marked
    ' file is indexed in record mode whatever we ask.
    Dim buffer() As Byte
    If size > 0 Then ReDim buffer(0 To size - 1) Else ReDim buffer(0 To 0)
    Dim table() As Integer
    ReDim table(0 To VELLOMAR_RECORD_TABLE_WORDS - 1)
    Dim mode As Long
    If recordMode Then mode = 1

    Dim count As Long
    count = StringTable(buffer(0), size, table(0), fileName, mode)
    If count = 0 Then
        Debug.Print fileName & ": could not be read as " & size & " bytes"
        Exit Sub
    End If
    ' Each entry starts where the one before it started plus that one's
    ' length, and its text is 2 bytes shorter. Offsets are Double, which holds
    ' whole numbers exactly far past the 2 GiB of a Long.
    Dim i As Long, length As Long
    Dim offset As Double, textEnd As Double
    For i = 1 To count
        length = table(i) And &HFFFF&
        If length >= 2 Then textEnd = offset + length - 2 Else textEnd = offset
        If textEnd > size Then textEnd = size ' the last entry of an empty file, or a clipped length
        Debug.Print CStr(i) & " " & CStr(offset) & " " & CStr(length) & " " & _
                    Escaped(buffer, offset, textEnd)
        offset = offset + length
    Next i
End Sub

' The bytes from first up to last, with backslash, tab, CR, LF and every byte
' outside printable ASCII escaped.
Private Function Escaped(buffer() As Byte, ByVal first As Double, ByVal last As Double) As String
    Dim text As String, j As Long
    For j = CLng(first) To CLng(last) - 1
        Select Case buffer(j)
            Case 92: text = text & "\\"
            Case 9: text = text & "\t"
            Case 13: text = text & "\r"
            Case 10: text = text & "\n"
            Case 32 To 126: text = text & Chr$(buffer(j))
            Case Else: text = text & "\x" & Right$("0" & Hex$(buffer(j)), 2)
        End Select
    Next j
    Escaped = text
End Function
