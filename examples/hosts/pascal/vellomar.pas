{ Vellomar's StringTable call for Free Pascal and Delphi, from one source:
  stdcall in a 32-bit Windows program (the DLL's __stdcall), cdecl elsewhere;
  64-bit Windows has one convention, which both words name there.

  The types follow vellomar.h: every argument and the result are 32-bit, and
  the table is an array of 16-bit words (PWord, never PLongWord or PInteger).
  UInt32 stays 32 bits on every target, where Delphi's LongWord does not.
  On Windows the program loads Vellomar.dll of its own width; on Linux Free
  Pascal links against libvellomar.so (-Fl tells it where to look). }
unit Vellomar;

{$IFDEF FPC}
  {$MODE DELPHI}
{$ENDIF}

interface

const
{$IFDEF MSWINDOWS}
  VellomarLibrary = 'Vellomar.dll';
{$ELSE}
  VellomarLibrary = 'vellomar';
{$ENDIF}

  { The word after the last entry, -999 as a signed 16-bit value. }
  VellomarEndMarker = $FC19;
  { Most entries a table describes: the count never goes above limit + 1. }
  VellomarPlainEntryLimit = 16384;
  VellomarRecordEntryLimit = 32768;
  { Words of table a host must provide. A marked file is always indexed in
    record mode, so a host that may meet one provides the record size. }
  VellomarPlainTableWords = VellomarPlainEntryLimit + 4;
  VellomarRecordTableWords = VellomarRecordEntryLimit + 4;

{ Reads FileName whole into Buffer (at least ExpectedSize bytes) and fills
  Table; returns the entry count, or 0 when the file was not indexed.
  FileName is in the ANSI code page: pass PAnsiChar(AnsiString(Name)). }
function StringTable(Buffer: PByte; ExpectedSize: UInt32; Table: PWord;
  FileName: PAnsiChar; RecordMode: UInt32): UInt32;
  {$IFDEF MSWINDOWS} stdcall; {$ELSE} cdecl; {$ENDIF}
  external VellomarLibrary name 'StringTable';

implementation

end.
