// Holds the hand-written WinRT ABI (src/platform/os/winappsdk_abi.h) against
// Microsoft's own Windows metadata: the Windows App SDK's .winmd files and the
// Windows SDK's Windows.Foundation contracts. For every interface the header
// declares it checks the identifier, each method in vtable order (6 + n, or
// 3 + n for a delegate) with the ABI form of its parameters, and for the
// instances of generic interfaces it computes the identifier from the type
// signature by the runtime's rule. The header's compiler cannot see any of
// this: a slot out of place compiles, links and calls the wrong method.
//
// Usage: AbiMetadataCheck <winappsdk_abi.h> <winmd file or folder>...
// A name the header uses without its namespace (IAppInstance is both
// Microsoft.Windows.AppLifecycle's and Windows.ApplicationModel's) is looked
// up in the sources in the order given: the Windows App SDK's first.
// Exit 0 when all matches; 1 with one line per mismatch.
using System.Collections.Immutable;
using System.Reflection;
using System.Reflection.Metadata;
using System.Reflection.PortableExecutable;
using System.Security.Cryptography;
using System.Text;
using System.Text.RegularExpressions;

if (args.Length < 2) {
  Console.Error.WriteLine("usage: AbiMetadataCheck <winappsdk_abi.h> <winmd file or folder>...");
  return 2;
}
var metadata = new Metadata();
for (int i = 1; i < args.Length; ++i) {
  var files = Directory.Exists(args[i]) ? Directory.GetFiles(args[i], "*.winmd") : [args[i]];
  foreach (var file in files) metadata.Load(file, i);
}
Header header;
try {
  header = Header.Parse(File.ReadAllText(args[0]));
} catch (FormatException e) {
  Console.WriteLine($"ABI MISMATCH: {args[0]}: {e.Message}");
  return 1;
}
var check = new Check(metadata, header);
check.Run();
foreach (var failure in check.Failures) Console.WriteLine($"ABI MISMATCH: {failure}");
Console.WriteLine($"abi metadata: {check.Interfaces} interfaces, {check.Slots} slots, " +
                  $"{check.GenericIids} parameterised identifiers, {check.Constants} enumeration values " +
                  "checked against " +
                  $"{metadata.Count} metadata types; {check.Failures.Count} mismatches");
return check.Failures.Count == 0 ? 0 : 1;

// A type as a signature names it.
sealed record TypeNode(string Kind, string Name, MdType? Def = null, TypeNode[]? Args = null,
                       int Index = 0) {
  public static TypeNode Prim(string name) => new("prim", name);
  public override string ToString() => Kind switch {
    "type" => Def!.FullName,
    "inst" => $"{Def!.FullName}<{string.Join(", ", Args!.Select(a => a.ToString()))}>",
    "szarray" => $"{Args![0]}[]",
    "byref" => $"ref {Args![0]}",
    "var" => $"T{Index}",
    _ => Name,
  };
}

sealed class MdType(MetadataReader reader, TypeDefinitionHandle handle, string ns, string name,
                    string kind, int source) {
  public int Source { get; } = source;
  public MetadataReader Reader { get; } = reader;
  public TypeDefinitionHandle Handle { get; } = handle;
  public string Namespace { get; } = ns;
  public string Name { get; } = name;  // with the generic arity, IVector`1
  public string Kind { get; } = kind;  // interface, delegate, class, enum, struct
  public string FullName => $"{Namespace}.{Name}";
  public string SimpleName => Name.Split('`')[0];
  public TypeDefinition Definition => Reader.GetTypeDefinition(Handle);
}

sealed class Metadata : ISignatureTypeProvider<TypeNode, object?> {
  readonly Dictionary<string, MdType> byFullName = new();
  readonly Dictionary<(MetadataReader, TypeDefinitionHandle), MdType> byHandle = new();
  readonly List<PEReader> files = new();  // kept open: the readers point into them
  public int Count => byFullName.Count;

  public void Load(string path, int source) {
    var pe = new PEReader(File.OpenRead(path));
    files.Add(pe);
    // As written: by default the reader shows Windows.Foundation.Uri as
    // System.Uri and the like, as .NET projects them.
    var reader = pe.GetMetadataReader(MetadataReaderOptions.None);
    foreach (var handle in reader.TypeDefinitions) {
      var def = reader.GetTypeDefinition(handle);
      string ns = reader.GetString(def.Namespace), name = reader.GetString(def.Name);
      if (ns.Length == 0) continue;  // <Module>
      string kind;
      if ((def.Attributes & TypeAttributes.Interface) != 0) {
        kind = "interface";
      } else {
        kind = BaseName(reader, def.BaseType) switch {
          "System.MulticastDelegate" => "delegate",
          "System.Enum" => "enum",
          "System.ValueType" => "struct",
          _ => "class",
        };
      }
      var type = new MdType(reader, handle, ns, name, kind, source);
      byFullName.TryAdd(type.FullName, type);
      byHandle[(reader, handle)] = type;
    }
  }

  static string BaseName(MetadataReader reader, EntityHandle handle) {
    if (handle.IsNil) return "";
    if (handle.Kind == HandleKind.TypeReference) {
      var r = reader.GetTypeReference((TypeReferenceHandle)handle);
      return $"{reader.GetString(r.Namespace)}.{reader.GetString(r.Name)}";
    }
    if (handle.Kind == HandleKind.TypeDefinition) {
      var d = reader.GetTypeDefinition((TypeDefinitionHandle)handle);
      return $"{reader.GetString(d.Namespace)}.{reader.GetString(d.Name)}";
    }
    return "";
  }

  public MdType? Find(string fullName) => byFullName.GetValueOrDefault(fullName);

  // By the name without its namespace; more than one is an error of the caller's table.
  public MdType? FindSimple(string name, Func<MdType, bool>? where = null) {
    var found = byFullName.Values.Where(t => t.Name == name && (where == null || where(t)))
                    .GroupBy(t => t.Source)
                    .OrderBy(g => g.Key)
                    .FirstOrDefault()
                    ?.ToList() ?? [];
    if (found.Count > 1) {
      throw new InvalidOperationException(
          $"{name} names {string.Join(" and ", found.Select(t => t.FullName))}");
    }
    return found.FirstOrDefault();
  }

  public TypeNode Decode(MetadataReader reader, EntityHandle handle) => handle.Kind switch {
    HandleKind.TypeDefinition => GetTypeFromDefinition(reader, (TypeDefinitionHandle)handle, 0),
    HandleKind.TypeReference => GetTypeFromReference(reader, (TypeReferenceHandle)handle, 0),
    HandleKind.TypeSpecification => GetTypeFromSpecification(
        reader, null, (TypeSpecificationHandle)handle, 0),
    _ => throw new NotSupportedException(handle.Kind.ToString()),
  };

  // The attribute's type, as Namespace.Name.
  public static string AttributeName(MetadataReader reader, CustomAttribute attribute) {
    var ctor = attribute.Constructor;
    if (ctor.Kind == HandleKind.MemberReference) {
      return BaseName(reader, reader.GetMemberReference((MemberReferenceHandle)ctor).Parent);
    }
    var method = reader.GetMethodDefinition((MethodDefinitionHandle)ctor);
    return BaseName(reader, method.GetDeclaringType());
  }

  public static BlobReader? Attribute(MetadataReader reader, CustomAttributeHandleCollection all,
                                      string name) {
    foreach (var handle in all) {
      var attribute = reader.GetCustomAttribute(handle);
      if (AttributeName(reader, attribute) == name) {
        var blob = reader.GetBlobReader(attribute.Value);
        blob.ReadUInt16();  // prolog
        return blob;
      }
    }
    return null;
  }

  // ISignatureTypeProvider
  public TypeNode GetPrimitiveType(PrimitiveTypeCode code) => TypeNode.Prim(code.ToString());
  public TypeNode GetTypeFromDefinition(MetadataReader reader, TypeDefinitionHandle handle,
                                        byte rawTypeKind) =>
      new("type", "", byHandle[(reader, handle)]);
  public TypeNode GetTypeFromReference(MetadataReader reader, TypeReferenceHandle handle,
                                       byte rawTypeKind) {
    string name = BaseName(reader, handle);
    if (name == "System.Guid") return TypeNode.Prim("Guid");
    var type = Find(name);
    return type == null ? TypeNode.Prim($"unresolved {name}") : new("type", "", type);
  }
  public TypeNode GetTypeFromSpecification(MetadataReader reader, object? context,
                                           TypeSpecificationHandle handle, byte rawTypeKind) =>
      reader.GetTypeSpecification(handle).DecodeSignature(this, context);
  public TypeNode GetGenericInstantiation(TypeNode generic, ImmutableArray<TypeNode> arguments) =>
      generic.Def == null ? generic : new("inst", "", generic.Def, [.. arguments]);
  public TypeNode GetGenericTypeParameter(object? context, int index) => new("var", "", Index: index);
  public TypeNode GetSZArrayType(TypeNode element) => new("szarray", "", Args: [element]);
  public TypeNode GetByReferenceType(TypeNode element) => new("byref", "", Args: [element]);
  public TypeNode GetModifiedType(TypeNode modifier, TypeNode unmodified, bool isRequired) =>
      unmodified;
  public TypeNode GetGenericMethodParameter(object? context, int index) =>
      throw new NotSupportedException("generic method");
  public TypeNode GetArrayType(TypeNode element, ArrayShape shape) =>
      throw new NotSupportedException("array");
  public TypeNode GetPointerType(TypeNode element) => throw new NotSupportedException("pointer");
  public TypeNode GetFunctionPointerType(MethodSignature<TypeNode> signature) =>
      throw new NotSupportedException("function pointer");
  public TypeNode GetPinnedType(TypeNode element) => throw new NotSupportedException("pinned");
}

// What the header declares, read with plain patterns (it is written to be read
// line by line; a declaration the patterns miss fails the run below, as the
// count of interfaces read is compared with the count of kIid lines).
sealed record HeaderMethod(string Name, List<(string Type, int Pointers, string Name)> Params);
sealed record HeaderInterface(string Name, string Base, Guid? Iid, List<HeaderMethod> Methods,
                              Dictionary<string, string> Aliases);

sealed class Header {
  public List<HeaderInterface> Interfaces { get; } = new();
  public HashSet<string> Int32Types { get; } = new();  // the enumerations' names
  public Dictionary<string, List<string>> Structs { get; } = new();  // field types
  public List<string> ClassNames { get; } = new();
  public List<(string Enum, string Name, long Value)> Constants { get; } = new();
  public int IidLines;

  public static Header Parse(string text) {
    var header = new Header();
    text = Regex.Replace(text, @"//[^\n]*", "");
    header.IidLines = Regex.Matches(text, @"\bkIid\s*=").Count;
    foreach (Match m in Regex.Matches(text, @"using\s+(\w+)\s*=\s*int32_t\s*;")) {
      header.Int32Types.Add(m.Groups[1].Value);
    }
    foreach (Match m in Regex.Matches(text, @"enum\s+class\s+(\w+)\s*:\s*int32_t\s*\{([^}]*)\}")) {
      header.Int32Types.Add(m.Groups[1].Value);
      foreach (Match c in Regex.Matches(m.Groups[2].Value, @"(\w+)\s*=\s*(-?\d+)")) {
        header.Constants.Add((m.Groups[1].Value, c.Groups[1].Value, long.Parse(c.Groups[2].Value)));
      }
    }
    foreach (Match m in Regex.Matches(text, @"inline\s+constexpr\s+(\w+)\s+(\w+)\s*=\s*(-?\d+)\s*;")) {
      if (header.Int32Types.Contains(m.Groups[1].Value)) {
        header.Constants.Add((m.Groups[1].Value, m.Groups[2].Value, long.Parse(m.Groups[3].Value)));
      }
    }
    foreach (Match m in Regex.Matches(text, @"struct\s+(\w+)\s*\{([^{}]*)\};")) {
      header.Structs[m.Groups[1].Value] = Regex.Matches(m.Groups[2].Value, @"(\w+)\s+\w+\s*;")
                                              .Select(f => f.Groups[1].Value)
                                              .ToList();
    }
    foreach (Match m in Regex.Matches(text, @"k\w+Class\[\]\s*=\s*L""([\w.]+)""")) {
      header.ClassNames.Add(m.Groups[1].Value);
    }
    var start = new Regex(@"struct\s+(\w+)\s*:\s*(IInspectable|IUnknown)\s*\{");
    foreach (Match m in start.Matches(text)) {
      int end = text.IndexOf("\n};", m.Index, StringComparison.Ordinal);
      string body = text[(m.Index + m.Length)..end];
      Guid? iid = null;
      var g = Regex.Match(body, @"kIid\s*=\s*\{\s*0x(\w+),\s*0x(\w+),\s*0x(\w+),\s*\{([^}]*)\}\s*\}");
      if (g.Success) {
        var bytes = g.Groups[4].Value.Split(',').Select(b => Convert.ToByte(b.Trim(), 16)).ToArray();
        iid = new Guid(Convert.ToUInt32(g.Groups[1].Value, 16), Convert.ToUInt16(g.Groups[2].Value, 16),
                       Convert.ToUInt16(g.Groups[3].Value, 16), bytes[0], bytes[1], bytes[2],
                       bytes[3], bytes[4], bytes[5], bytes[6], bytes[7]);
      }
      var aliases = Regex.Matches(body, @"using\s+(\w+)\s*=\s*(\w+)\s*;")
                        .ToDictionary(a => a.Groups[1].Value, a => a.Groups[2].Value);
      var methods = new List<HeaderMethod>();
      int virtuals = Regex.Matches(body, @"\bvirtual\b").Count;
      foreach (Match v in Regex.Matches(body, @"virtual\s+HRESULT\s+STDMETHODCALLTYPE\s+(\w+)\s*\(([^)]*)\)\s*=\s*0\s*;")) {
        var ps = new List<(string, int, string)>();
        foreach (var raw in v.Groups[2].Value.Split(',', StringSplitOptions.RemoveEmptyEntries |
                                                          StringSplitOptions.TrimEntries)) {
          var p = Regex.Match(raw, @"^(\w+)\s*(\**)\s*(\w+)$");
          if (!p.Success) throw new FormatException($"{m.Groups[1].Value}: cannot read parameter '{raw}'");
          ps.Add((p.Groups[1].Value, p.Groups[2].Length, p.Groups[3].Value));
        }
        methods.Add(new HeaderMethod(v.Groups[1].Value, ps));
      }
      if (methods.Count != virtuals) {
        throw new FormatException($"{m.Groups[1].Value}: read {methods.Count} of its {virtuals} methods");
      }
      header.Interfaces.Add(new HeaderInterface(m.Groups[1].Value, m.Groups[2].Value, iid, methods,
                                                aliases));
    }
    return header;
  }
}

sealed class Check(Metadata md, Header header) {
  // The header's names of generic instances (and of delegates, which the
  // header names as interfaces), as WinRT types. Short names are looked up
  // in the metadata; a name that is in neither fails the run.
  static readonly Dictionary<string, string> Instances = new() {
    ["IAsyncOperationProgressResult"] = "IAsyncOperation<AppNotificationProgressResult>",
    ["IAsyncOperationCompletedHandlerProgressResult"] =
        "AsyncOperationCompletedHandler<AppNotificationProgressResult>",
    ["IKeyValuePairStringString"] = "IKeyValuePair<String, String>",
    ["IIteratorKeyValuePairStringString"] = "IIterator<IKeyValuePair<String, String>>",
    ["IIterableKeyValuePairStringString"] = "IIterable<IKeyValuePair<String, String>>",
    ["IMapStringString"] = "IMap<String, String>",
    ["IMapViewStringString"] = "IMapView<String, String>",
    ["IVectorAppNotification"] = "IVector<AppNotification>",
    ["IVectorViewAppNotification"] = "IVectorView<AppNotification>",
    ["IAsyncOperationVectorAppNotification"] = "IAsyncOperation<IVector<AppNotification>>",
    ["IAsyncOperationCompletedHandlerVectorAppNotification"] =
        "AsyncOperationCompletedHandler<IVector<AppNotification>>",
    ["INotificationInvokedHandler"] =
        "TypedEventHandler<AppNotificationManager, AppNotificationActivatedEventArgs>",
    ["IEventHandlerAppActivationArguments"] = "EventHandler<AppActivationArguments>",
    ["IVectorAppInstance"] = "IVector<AppInstance>",
  };
  // COM interfaces of the runtime's plumbing, which no .winmd describes
  // (abi_identity_test holds their identifiers against mingw-w64's headers).
  static readonly HashSet<string> ComInterfaces = ["IActivationFactory"];

  public List<string> Failures { get; } = new();
  public int Interfaces, Slots, GenericIids, Constants;

  public void Run() {
    if (header.Interfaces.Count(i => i.Iid != null) != header.IidLines) {
      Failures.Add($"read {header.Interfaces.Count(i => i.Iid != null)} interfaces with an " +
                   $"identifier but the header has {header.IidLines} kIid lines");
    }
    foreach (var name in header.ClassNames) {
      if (md.Find(name) is not { Kind: "class" }) Failures.Add($"runtime class {name}: not in the metadata");
    }
    foreach (var (enumName, name, value) in header.Constants) CheckConstant(enumName, name, value);
    foreach (var declared in header.Interfaces) {
      try {
        CheckInterface(declared);
      } catch (Exception e) when (e is InvalidOperationException or FormatException) {
        Failures.Add($"{declared.Name}: {e.Message}");
      }
    }
  }

  void CheckInterface(HeaderInterface declared) {
    if (ComInterfaces.Contains(declared.Name)) return;
    var type = ForHeaderName(declared.Name);
    Interfaces++;
    var open = type.Def!;
    string what = type.Kind == "inst" ? $"{declared.Name} ({type})" : declared.Name;
    bool isDelegate = open.Kind == "delegate";
    if (open.Kind != "interface" && !isDelegate) {
      throw new InvalidOperationException($"{type} is a {open.Kind}, not an interface");
    }
    if (declared.Base != (isDelegate ? "IUnknown" : "IInspectable")) {
      Failures.Add($"{what}: derives from {declared.Base}, but a {open.Kind}'s vtable starts " +
                   $"with {(isDelegate ? "IUnknown" : "IInspectable")}");
    }
    if (declared.Iid is Guid iid) {
      var expected = Iid(type);
      if (type.Kind == "inst") GenericIids++;
      if (iid != expected) {
        Failures.Add($"{what}: identifier {iid} in the header, {expected} in the metadata" +
                     (type.Kind == "inst" ? $" (from the signature {Signature(type)})" : ""));
      }
    }
    var args = type.Args ?? [];
    var methods = open.Definition.GetMethods()
                      .Select(h => open.Reader.GetMethodDefinition(h))
                      .Where(m => !isDelegate || open.Reader.GetString(m.Name) == "Invoke")
                      .ToList();
    int first = isDelegate ? 3 : 6;
    if (declared.Methods.Count > methods.Count) {
      Failures.Add($"{what}: {declared.Methods.Count} methods in the header, " +
                   $"{methods.Count} in the metadata");
    }
    for (int i = 0; i < Math.Min(declared.Methods.Count, methods.Count); ++i) {
      Slots++;
      var mine = declared.Methods[i];
      var theirs = methods[i];
      string name = AbiName(open.Reader, theirs);
      string slot = $"{what} slot {first + i} ({mine.Name})";
      if (mine.Name != name) {
        Failures.Add($"{slot}: the metadata has {name} in this slot");
        continue;
      }
      var expected = AbiParameters(open.Reader, theirs, args);
      var actual = mine.Params.Select(p => Cpp(declared, p.Type, p.Pointers)).ToList();
      if (!expected.SequenceEqual(actual)) {
        Failures.Add($"{slot}: parameters ({string.Join(", ", actual)}) in the header, " +
                     $"({string.Join(", ", expected)}) from the metadata");
      }
    }
  }

  // A value of an enumeration, named by the metadata's name of the value at
  // the end of the header's (kStarted, kActivationKindAppNotification).
  void CheckConstant(string enumName, string name, long value) {
    var type = md.FindSimple(enumName, t => t.Kind == "enum");
    if (type == null) {
      Failures.Add($"{name}: enumeration {enumName} is in no metadata");
      return;
    }
    var values = type.Definition.GetFields().Select(h => type.Reader.GetFieldDefinition(h))
                     .Where(f => !f.GetDefaultValue().IsNil)
                     .Select(f => (Name: type.Reader.GetString(f.Name),
                                   Value: Convert.ToInt64(type.Reader.GetBlobReader(
                                       type.Reader.GetConstant(f.GetDefaultValue()).Value).ReadInt32())))
                     .Where(f => name.EndsWith(f.Name, StringComparison.Ordinal))
                     .OrderByDescending(f => f.Name.Length)
                     .ToList();
    Constants++;
    if (values.Count == 0) {
      Failures.Add($"{name}: no value of {type.FullName} ends its name");
    } else if (values[0].Value != value) {
      Failures.Add($"{name}: {value} in the header, {type.FullName}.{values[0].Name} is {values[0].Value}");
    }
  }

  // The method's name in the ABI: an overload's is given by its attribute.
  static string AbiName(MetadataReader reader, MethodDefinition method) {
    var overload = Metadata.Attribute(reader, method.GetCustomAttributes(),
                                      "Windows.Foundation.Metadata.OverloadAttribute");
    return overload is BlobReader blob ? blob.ReadSerializedString()! : reader.GetString(method.Name);
  }

  // The ABI's parameters of a method: arrays as a count and a pointer, out
  // parameters and the result as pointers after the others.
  List<string> AbiParameters(MetadataReader reader, MethodDefinition method, TypeNode[] args) {
    var signature = method.DecodeSignature(md, null);
    var names = method.GetParameters().Select(h => reader.GetParameter(h))
                    .Where(p => p.SequenceNumber > 0)
                    .ToDictionary(p => p.SequenceNumber - 1, p => p.Attributes);
    var list = new List<string>();
    for (int i = 0; i < signature.ParameterTypes.Length; ++i) {
      var t = Substitute(signature.ParameterTypes[i], args);
      bool isOut = (names.GetValueOrDefault(i) & ParameterAttributes.Out) != 0;
      if (t.Kind == "byref" && t.Args![0].Kind == "szarray") {  // receive array
        list.Add("UINT32*");
        list.Add(Cpp(t.Args[0].Args![0]) + "**");
      } else if (t.Kind == "szarray") {  // pass or fill array
        list.Add("UINT32");
        list.Add(Cpp(t.Args![0]) + "*");
      } else if (t.Kind == "byref") {
        list.Add(Cpp(t.Args![0]) + (isOut ? "*" : " const*"));
      } else {
        list.Add(Cpp(t));
      }
    }
    var result = Substitute(signature.ReturnType, args);
    if (result.Kind == "szarray") {
      list.Add("UINT32*");
      list.Add(Cpp(result.Args![0]) + "**");
    } else if (!(result.Kind == "prim" && result.Name == "Void")) {
      list.Add(Cpp(result) + "*");
    }
    return list;
  }

  static TypeNode Substitute(TypeNode t, TypeNode[] args) => t.Kind switch {
    "var" => args[t.Index],
    "inst" or "szarray" or "byref" => t with { Args = t.Args!.Select(a => Substitute(a, args)).ToArray() },
    _ => t,
  };

  // A WinRT type as the header writes it in a parameter.
  string Cpp(TypeNode t) {
    switch (t.Kind) {
      case "prim":
        return t.Name switch {
          "String" => "HSTRING",
          "Object" => "IInspectable*",
          "Boolean" => "Boolean",
          "Byte" => "BYTE",
          "Int16" => "INT16",
          "UInt16" => "UINT16",
          "Int32" => "INT32",
          "UInt32" => "UINT32",
          "Int64" => "INT64",
          "UInt64" => "UINT64",
          "Single" => "FLOAT",
          "Double" => "DOUBLE",
          "Char" => "WCHAR",
          "Guid" => "GUID",
          _ => t.Name,
        };
      case "type" when t.Def!.Kind == "enum":
        return t.Def.SimpleName;
      case "type" when t.Def!.Kind == "struct":
        return t.Def.FullName == "Windows.Foundation.HResult" ? "HRESULT" : t.Def.SimpleName;
      case "type" when t.Def!.Kind == "class":
        return Interface(DefaultInterface(t.Def)) + "*";
      default:
        return Interface(t) + "*";
    }
  }

  static string Interface(TypeNode t) => $"[{t}]";

  // A header parameter's type, in the same terms as Cpp above.
  string Cpp(HeaderInterface scope, string name, int pointers) {
    name = scope.Aliases.GetValueOrDefault(name, name);
    string stars = new('*', pointers);
    switch (name) {
      case "HSTRING" or "Boolean" or "UINT32" or "INT32" or "INT64" or "UINT64" or "HRESULT" or
          "GUID" or "BYTE" or "INT16" or "UINT16" or "FLOAT" or "DOUBLE" or "WCHAR":
        return name + stars;
      case "IInspectable":
        return "IInspectable" + stars;
    }
    if (header.Int32Types.Contains(name)) {
      return (md.FindSimple(name, t => t.Kind == "enum") != null ? name : $"int32 {name}") + stars;
    }
    if (header.Structs.TryGetValue(name, out var fields)) {
      var def = md.FindSimple(name, t => t.Kind == "struct");
      if (def == null) return $"struct {name}?" + stars;
      var theirs = def.Definition.GetFields().Select(h => def.Reader.GetFieldDefinition(h))
                       .Select(f => f.DecodeSignature(md, null).Name)
                       .ToList();
      var mine = fields.Select(f => f.Replace("int64_t", "Int64").Replace("int32_t", "Int32")).ToList();
      if (!theirs.SequenceEqual(mine)) {
        throw new InvalidOperationException($"struct {name}: fields ({string.Join(", ", mine)}) in " +
                                            $"the header, ({string.Join(", ", theirs)}) in the metadata");
      }
      return name + stars;
    }
    if (pointers == 0) return $"{name} (not a pointer)";
    return Interface(ForHeaderName(name)) + stars;
  }

  // The WinRT type the header means by an interface's name.
  TypeNode ForHeaderName(string name) {
    if (Instances.TryGetValue(name, out var written)) {
      int at = 0;
      var t = ParseType(written, ref at);
      return t;
    }
    var type = md.FindSimple(name, t => t.Kind == "interface") ??
               (name.StartsWith('I') ? md.FindSimple(name[1..], t => t.Kind == "delegate") : null);
    if (type == null) {
      throw new InvalidOperationException(
          $"{name} is in no metadata; a generic instance needs a line in the checker's table");
    }
    return new TypeNode("type", "", type);
  }

  // "IVector<AppNotification>", with names looked up in the metadata.
  TypeNode ParseType(string text, ref int at) {
    var m = Regex.Match(text[at..], @"^\s*(\w+)");
    string name = m.Groups[1].Value;
    at += m.Length;
    var args = new List<TypeNode>();
    if (at < text.Length && text[at] == '<') {
      do {
        ++at;
        args.Add(ParseType(text, ref at));
      } while (text[at] == ',');
      ++at;  // '>'
    }
    if (args.Count == 0 && name == "String") return TypeNode.Prim("String");
    var type = md.FindSimple(args.Count == 0 ? name : $"{name}`{args.Count}") ??
               throw new InvalidOperationException($"{name} is in no metadata");
    return args.Count == 0 ? new TypeNode("type", "", type) : new TypeNode("inst", "", type, [.. args]);
  }

  TypeNode DefaultInterface(MdType type) {
    foreach (var h in type.Definition.GetInterfaceImplementations()) {
      var impl = type.Reader.GetInterfaceImplementation(h);
      if (Metadata.Attribute(type.Reader, impl.GetCustomAttributes(),
                             "Windows.Foundation.Metadata.DefaultAttribute") != null) {
        return md.Decode(type.Reader, impl.Interface);
      }
    }
    throw new InvalidOperationException($"{type.FullName} has no default interface");
  }

  static Guid DeclaredIid(MdType type) {
    var blob = Metadata.Attribute(type.Reader, type.Definition.GetCustomAttributes(),
                                  "Windows.Foundation.Metadata.GuidAttribute") ??
               throw new InvalidOperationException($"{type.FullName} has no identifier");
    var b = blob;
    uint a = b.ReadUInt32();
    ushort c = b.ReadUInt16(), d = b.ReadUInt16();
    var rest = b.ReadBytes(8);
    return new Guid(a, c, d, rest[0], rest[1], rest[2], rest[3], rest[4], rest[5], rest[6], rest[7]);
  }

  // The identifier of a type: declared, or for a generic instance a version 5
  // UUID over the runtime's namespace and the instance's signature.
  Guid Iid(TypeNode t) {
    if (t.Kind != "inst") return DeclaredIid(t.Def!);
    byte[] ns = [0x11, 0xf4, 0x7a, 0xd5, 0x7b, 0x73, 0x42, 0xc0,
                 0xab, 0xae, 0x87, 0x8b, 0x1e, 0x16, 0xad, 0xee];
    var hash = SHA1.HashData([.. ns, .. Encoding.UTF8.GetBytes(Signature(t))]);
    hash[6] = (byte)((hash[6] & 0x0f) | 0x50);
    hash[8] = (byte)((hash[8] & 0x3f) | 0x80);
    return new Guid(hash.AsSpan(0, 16), bigEndian: true);
  }

  string Signature(TypeNode t) {
    switch (t.Kind) {
      case "prim":
        return t.Name switch {
          "Boolean" => "b1", "Char" => "c2", "Byte" => "u1", "Int16" => "i2", "UInt16" => "u2",
          "Int32" => "i4", "UInt32" => "u4", "Int64" => "i8", "UInt64" => "u8", "Single" => "f4",
          "Double" => "f8", "String" => "string", "Guid" => "g16",
          "Object" => "cinterface(IInspectable)",
          _ => throw new InvalidOperationException($"no signature for {t.Name}"),
        };
      case "inst":
        return $"pinterface({{{DeclaredIid(t.Def!)}}};{string.Join(";", t.Args!.Select(Signature))})";
    }
    var def = t.Def!;
    switch (def.Kind) {
      case "interface":
        return $"{{{DeclaredIid(def)}}}";
      case "delegate":
        return $"delegate({{{DeclaredIid(def)}}})";
      case "class":
        return $"rc({def.FullName};{Signature(DefaultInterface(def))})";
      case "enum": {
        bool flags = Metadata.Attribute(def.Reader, def.Definition.GetCustomAttributes(),
                                        "System.FlagsAttribute") != null;
        return $"enum({def.FullName};{(flags ? "u4" : "i4")})";
      }
      default: {
        var fields = def.Definition.GetFields().Select(h => def.Reader.GetFieldDefinition(h))
                         .Select(f => Signature(f.DecodeSignature(md, null)));
        return $"struct({def.FullName};{string.Join(";", fields)})";
      }
    }
  }
}
