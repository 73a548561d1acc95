// A C# host: reads FILE through StringTable with P/Invoke and prints each
// entry, as the C host does.
//
//   walk [--record] FILE
//
// Build and run with Mono on Linux (Debian: mono-mcs, mono-runtime):
//
//   mcs -out:walk.exe walk.cs && LD_LIBRARY_PATH=/where/libvellomar.so/is mono walk.exe --record FILE
//
// On Windows the same walk.exe runs under the .NET Framework with Vellomar.dll
// beside it: built as it is here (AnyCPU) it runs as a 64-bit process on 64-bit
// Windows and needs the 64-bit DLL; built with -platform:x86 it runs 32-bit and
// needs the 32-bit DLL. The declaration is the same for all three libraries.
using System;
using System.Globalization;
using System.IO;
using System.Runtime.InteropServices;
using System.Text;

static class Vellomar
{
    public const ushort EndMarker = 0xFC19; // -999 as a signed 16-bit word
    public const uint PlainEntryLimit = 16384;
    public const uint RecordEntryLimit = 32768;
    public const int PlainTableWords = (int)PlainEntryLimit + 4;
    public const int RecordTableWords = (int)RecordEntryLimit + 4;

    // "vellomar" is found as libvellomar.so on Linux and as Vellomar.dll on
    // Windows (file names there ignore case).
    //
    // CallingConvention.Winapi is __stdcall in a 32-bit Windows process and the
    // platform's C convention everywhere else, exactly as VELLOMAR_CALL is.
    // CharSet.Ansi with LPStr passes the name in the ANSI code page on Windows
    // (UTF-8 under Mono on Linux, which is what the file system there takes);
    // a UTF-16 name would be read as a one-letter ANSI name.
    // byte[] and ushort[] are blittable: the marshaller pins them and passes
    // the address of their first element, so the call reads straight into
    // the managed arrays with no copy either way. [In, Out] says that the
    // call writes them. The table is ushort, 16 bits a word: an int[] would
    // be read as pairs of words.
    [DllImport("vellomar", EntryPoint = "StringTable", ExactSpelling = true,
               CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Ansi)]
    public static extern uint StringTable([In, Out] byte[] buffer, uint expectedSize,
                                          [In, Out] ushort[] table,
                                          [MarshalAs(UnmanagedType.LPStr)] string fileName,
                                          uint recordMode);
}

static class Walk
{
    static void WriteEscaped(StringBuilder line, byte[] text, long start, long end)
    {
        for (long i = start; i < end; ++i) {
            byte c = text[i];
            if (c == (byte)'\\') line.Append("\\\\");
            else if (c == (byte)'\t') line.Append("\\t");
            else if (c == (byte)'\r') line.Append("\\r");
            else if (c == (byte)'\n') line.Append("\\n");
            else if (c < 0x20 || c >= 0x7F) line.Append("\\x").Append(c.ToString("X2", CultureInfo.InvariantCulture));
            else line.Append((char)c);
        }
    }

    static int Main(string[] args)
    {
        bool record = args.Length == 2 && args[0] == "--record";
        if (args.Length != (record ? 2 : 1)) {
            Console.Error.WriteLine("usage: walk [--record] FILE");
            return 2;
        }
        string fileName = args[args.Length - 1];
        long fileSize;
        try {
            fileSize = new FileInfo(fileName).Length;
        } catch (Exception e) {
            Console.Error.WriteLine(fileName + ": " + e.Message);
            return 1;
        }
        // A managed array holds at most 2 GiB; a host that reads larger files
        // passes unmanaged memory (an IntPtr from Marshal.AllocHGlobal) instead.
        if (fileSize > int.MaxValue) {
            Console.Error.WriteLine(fileName + ": too large for a managed buffer");
            return 1;
        }
        uint size = (uint)fileSize;
        // The buffer holds exactly the size we expect; the table has the record
        // room, since a marked file is indexed in record mode whatever we ask.
        byte[] buffer = new byte[Math.Max(size, 1u)];
        ushort[] table = new ushort[Vellomar.RecordTableWords];

        uint count;
        try {
            count = Vellomar.StringTable(buffer, size, table, fileName, record ? 1u : 0u);
        } catch (DllNotFoundException) {
            Console.Error.WriteLine("libvellomar.so or Vellomar.dll not found (Linux: set LD_LIBRARY_PATH)");
            return 1;
        } catch (BadImageFormatException) {
            // A 64-bit process cannot load the 32-bit DLL, nor the other way round.
            Console.Error.WriteLine("Vellomar.dll is not of this process's width (" +
                                    IntPtr.Size * 8 + "-bit)");
            return 1;
        }
        if (count == 0) {
            Console.Error.WriteLine(fileName + ": could not be read as " + size + " bytes");
            return 1;
        }
        // Each entry starts where the one before it started plus that one's
        // length, and its text is 2 bytes shorter.
        TextWriter output = new StreamWriter(Console.OpenStandardOutput(), new ASCIIEncoding());
        StringBuilder line = new StringBuilder();
        ulong offset = 0;
        for (uint i = 1; i <= count; ++i) {
            uint length = table[i];
            ulong textEnd = offset + (length >= 2 ? length - 2 : 0);
            if (textEnd > size) // the last entry of an empty file, or a clipped length
                textEnd = size;
            line.Clear();
            line.Append(i.ToString(CultureInfo.InvariantCulture)).Append(' ')
                .Append(offset.ToString(CultureInfo.InvariantCulture)).Append(' ')
                .Append(length.ToString(CultureInfo.InvariantCulture)).Append(' ');
            if (offset < textEnd)
                WriteEscaped(line, buffer, (long)offset, (long)textEnd);
            line.Append('\n');
            output.Write(line.ToString());
            offset += length;
        }
        output.Flush();
        return 0;
    }
}
