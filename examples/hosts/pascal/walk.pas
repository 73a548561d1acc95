{ A Free Pascal / Delphi host: reads FILE through StringTable and prints each
  entry, as the C host does.

    walk [--record] FILE

  On Linux, with the library installed under PREFIX:
    fpc -FlPREFIX/lib -k-rpath=PREFIX/lib walk.pas }
program Walk;

{$IFDEF FPC}
  {$MODE DELPHI}
{$ENDIF}
{$IFDEF MSWINDOWS}
  {$APPTYPE CONSOLE}
{$ENDIF}
{$POINTERMATH ON}

uses
  SysUtils, Vellomar;

procedure WriteEscaped(Text: PByte; Length: UInt32);
var
  I: UInt32;
  C: Byte;
begin
  for I := 0 to Length - 1 do
  begin
    C := Text[I];
    case C of
      Ord('\'): Write('\\');
      9: Write('\t');
      13: Write('\r');
      10: Write('\n');
      0..8, 11, 12, 14..31, 127..255: Write('\x', IntToHex(C, 2));
    else
      Write(AnsiChar(C));
    end;
  end;
end;

var
  RecordMode: Boolean;
  FileName: AnsiString;
  Handle: THandle;
  FileSize: Int64;
  Size, Count, I, EntryLength: UInt32;
  Buffer: array of Byte;
  Table: array of Word;
  Offset, TextEnd: UInt64;
begin
  RecordMode := (ParamCount = 2) and (ParamStr(1) = '--record');
  if ParamCount <> 1 + Ord(RecordMode) then
  begin
    WriteLn(ErrOutput, 'usage: walk [--record] FILE');
    Halt(2);
  end;
  FileName := AnsiString(ParamStr(ParamCount));
  Handle := FileOpen(string(FileName), fmOpenRead or fmShareDenyNone);
  if Handle = THandle(-1) then
  begin
    WriteLn(ErrOutput, FileName, ': cannot be opened');
    Halt(1);
  end;
  FileSize := FileSeek(Handle, Int64(0), 2);
  FileClose(Handle);
  if (FileSize < 0) or (FileSize > High(UInt32)) then
  begin
    WriteLn(ErrOutput, FileName, ': not measured, or 4 GiB or longer');
    Halt(1);
  end;
  Size := UInt32(FileSize);
  { The buffer holds exactly the size we expect; the table has the record
    room, since a marked file is indexed in record mode whatever we ask.
    The call writes straight into both arrays, through their first elements. }
  if Size > 0 then SetLength(Buffer, Size) else SetLength(Buffer, 1);
  SetLength(Table, VellomarRecordTableWords);

  Count := StringTable(@Buffer[0], Size, @Table[0], PAnsiChar(FileName), Ord(RecordMode));
  if Count = 0 then
  begin
    WriteLn(ErrOutput, FileName, ': could not be read as ', Size, ' bytes');
    Halt(1);
  end;
  { Each entry starts where the one before it started plus that one's
    length, and its text is 2 bytes shorter. }
  Offset := 0;
  for I := 1 to Count do
  begin
    EntryLength := Table[I];
    if EntryLength >= 2 then TextEnd := Offset + EntryLength - 2 else TextEnd := Offset;
    if TextEnd > Size then { the last entry of an empty file, or a clipped length }
      TextEnd := Size;
    Write(I, ' ', Offset, ' ', EntryLength, ' ');
    if Offset < TextEnd then
      WriteEscaped(@Buffer[Offset], UInt32(TextEnd - Offset));
    WriteLn;
    Offset := Offset + EntryLength;
  end;
end.
